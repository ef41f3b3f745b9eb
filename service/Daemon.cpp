#include "service/Daemon.h"

#include "nodes/Firmware.h"
#include "service/ControlServer.h"
#include "service/Admission.h"
#include "service/History.h"
#include "service/PairingCode.h"
#include "service/HttpApi.h"
#include "service/HttpGate.h"
#include "service/Limits.h"
#include "service/Installation.h"
#include "service/Labels.h"
#include "service/Mqtt.h"
#include "service/OpenApi.h"
#include "service/StateFiles.h"
#include "service/Tokens.h"

#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <QHostAddress>
#include <QFile>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <memory>

namespace cv::service {

namespace {

struct Listen {
    QHostAddress address;
    quint16 port = 0;
};

// "ADDR:PORT", "[V6]:PORT"; the address must be a literal, so that what
// is loopback and what is not is never a resolver's guess.
std::optional<Listen> ParseListen(const std::string& text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return std::nullopt;
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    Listen l;
    if (!l.address.setAddress(QString::fromStdString(host)))
        return std::nullopt;
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const long n = std::stol(port);
    if (n < 1 || n > 65535)
        return std::nullopt;
    l.port = static_cast<quint16>(n);
    return l;
}

// The certificate chain and key of --tls-cert/--tls-key, or why not.
Result<QSslConfiguration> LoadTls(const std::string& certFile, const std::string& keyFile)
{
    if (!QSslSocket::supportsSsl())
        return Failure("this Qt has no TLS backend");
    const auto chain = QSslCertificate::fromPath(QString::fromStdString(certFile), QSsl::Pem);
    if (chain.isEmpty())
        return Failure("--tls-cert " + certFile + ": no PEM certificate in it");
    QFile file(QString::fromStdString(keyFile));
    if (!file.open(QIODevice::ReadOnly))
        return Failure("--tls-key " + keyFile + ": " + file.errorString().toStdString());
    const QByteArray pem = file.readAll();
    QSslKey key;
    for (const auto algorithm : {QSsl::Rsa, QSsl::Ec}) {
        key = QSslKey(pem, algorithm, QSsl::Pem);
        if (!key.isNull())
            break;
    }
    if (key.isNull())
        return Failure("--tls-key " + keyFile + ": no unencrypted PEM RSA or EC private key in it");
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    return tls;
}

std::string DefaultStateDir()
{
    const char* stateEnv = std::getenv("STATE_DIRECTORY");
    std::string dir = stateEnv && *stateEnv ? stateEnv : "/var/lib/cortavia";
    // systemd may give several directories, colon-separated: the first is ours.
    return dir.substr(0, dir.find(':'));
}

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Who ran a `token` command, for the history.
std::string ConsoleActor()
{
    const passwd* pw = ::getpwuid(::getuid());
    const std::string user = pw && IsTokenName(pw->pw_name) ? pw->pw_name : std::to_string(::getuid());
    return "cli:" + user;
}

void RecordTokenChange(const std::string& dir, const std::string& action, const std::string& name, Json detail)
{
    auto history = History::Open(dir);
    if (!history) {
        std::cerr << "cortaviad: " << history.error() << " (the change is not in the history)\n";
        return;
    }
    (*history)->Record({0, ConsoleActor(), action, name, std::move(detail), true});
    (*history)->Flush();
}

// cortaviad token add|list|revoke: changes tokens.json under its lock; a
// running service sees the change within a second.
int RunToken(int argc, char** argv)
{
    CLI::App app{"cortaviad token: the named tokens of the HTTP API and the line protocol.", "cortaviad token"};
    app.require_subcommand(1);
    std::string stateDir = DefaultStateDir();
    std::string name, role, url;
    auto* add = app.add_subcommand("add", "make a token; prints it, then its pairing link");
    add->add_option("name", name, "the token's name")->required();
    add->add_option("--role", role, "viewer, operator or admin")
        ->required()
        ->check(CLI::IsMember({"viewer", "operator", "admin"}));
    add->add_option("--url", url, "the control page's address for the pairing link (default http://HOST:8470/)");
    auto* list = app.add_subcommand("list", "names, roles, when made and last used; never a token");
    auto* revoke = app.add_subcommand("revoke", "refuse a token from now on");
    revoke->add_option("name", name, "the token's name")->required();
    for (auto* sub : {add, list, revoke})
        sub->add_option("--state-dir", stateDir, "the service's state directory");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    TokenStore tokens(stateDir);
    if (add->parsed()) {
        auto token = tokens.Add(name, *ParseRole(role));
        if (!token) {
            std::cerr << "cortaviad token add: " << token.error() << "\n";
            return 1;
        }
        if (url.empty()) {
            char host[256] = {};
            ::gethostname(host, sizeof host - 1);
            url = "http://" + std::string(host) + ":8470/";
        }
        // The fragment never leaves the browser: no server or proxy logs it.
        const std::string link = url + "#token=" + *token;
        std::cout << *token << "\n" << link << "\n";
        // For a phone at the terminal; a script that reads the output gets
        // the token and the link alone.
        if (::isatty(STDOUT_FILENO))
            for (const auto& line : QrLines(link))
                std::cout << line << "\n";
        std::cout.flush();
        RecordTokenChange(stateDir, "token-add", name, {{"role", role}});
        return 0;
    }
    if (revoke->parsed()) {
        auto gone = tokens.Revoke(name);
        if (!gone) {
            std::cerr << "cortaviad token revoke: " << gone.error() << "\n";
            return 1;
        }
        if (!*gone) {
            std::cerr << "cortaviad token revoke: no token named " << name << "\n";
            return 1;
        }
        RecordTokenChange(stateDir, "token-revoke", name, Json::object());
        return 0;
    }
    if (const auto problem = tokens.Refresh()) {
        std::cerr << "cortaviad token list: " << *problem << "\n";
        return 1;
    }
    std::map<std::string, std::int64_t> used;
    struct stat st { };
    if (::stat((stateDir + "/history.db").c_str(), &st) == 0)
        if (auto history = History::Open(stateDir))
            if (auto uses = (*history)->TokenUses())
                used = *uses;
    std::cout << std::left << std::setw(24) << "name" << std::setw(10) << "role" << std::setw(26) << "created"
              << "last_used\n";
    for (const auto& t : tokens.entries()) {
        const auto u = used.find(t.name);
        std::cout << std::setw(24) << t.name << std::setw(10) << ToString(t.role) << std::setw(26)
                  << (t.created ? FormatTime(t.created) : "-") << (u != used.end() ? FormatTime(u->second) : "never")
                  << "\n";
    }
    return 0;
}

int signalPipe[2] = {-1, -1};
void OnSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &c, 1);
}

}  // namespace

int RunDaemon(int argc, char** argv)
{
    if (argc >= 2 && std::string_view(argv[1]) == "token")
        return RunToken(argc - 1, argv + 1);
    CLI::App app{"cortaviad: live control of an installation of HDMI-over-IP transmitters and receivers.\n"
                 "Keeps a model of the fleet (routes, scenes, online and offline), serves an HTTP JSON API\n"
                 "with an event stream and a control page for a browser at /, and a line protocol for\n"
                 "control systems.",
                 "cortaviad"};
    app.set_version_flag("--version", CORTAVIA_VERSION);
    InstallationOptions options;
    double pollSeconds = 2;
    std::string http = "127.0.0.1:8470";
    std::string control = "127.0.0.1:8471";
    options.stateDir = DefaultStateDir();
    std::string loopbackRole = "admin";
    Retention retention;
    unsigned port = nodes::kShellPort;
    std::vector<std::string> allowHosts;
    std::string tlsCert, tlsKey;
    app.add_option("--interface", options.interfaces, "send discovery on this card only (repeatable)");
    app.add_option("--poll", pollSeconds, "seconds between polls of the fleet")
        ->default_val(2)
        ->check(CLI::Range(0.5, 3600.0));
    app.add_option("--http", http, "ADDR:PORT of the HTTP API")->default_val(http);
    app.add_option("--control", control, "ADDR:PORT of the line protocol, or off")->default_val(control);
    app.add_option("--state-dir", options.stateDir, "scenes and token (default $STATE_DIRECTORY or /var/lib/cortavia)");
    app.add_option("--port", port, "the endpoints' shell port")->default_val(24)->check(CLI::Range(1, 65535));
    app.add_option("--allow-host", allowHosts,
                   "accept HTTP requests that name this host (the venue's name for the service; repeatable)");
    auto* certOption = app.add_option("--tls-cert", tlsCert, "serve HTTPS with this PEM certificate (chain)");
    auto* keyOption = app.add_option("--tls-key", tlsKey, "the PEM private key of --tls-cert");
    app.add_option("--loopback-role", loopbackRole,
                   "what a client without a token may do on a loopback address: viewer, operator, admin, or none "
                   "(tokens needed there too)")
        ->default_val(loopbackRole)
        ->check(CLI::IsMember({"viewer", "operator", "admin", "none"}));
    app.add_option("--history-days", retention.days, "keep the history this many days (0: keep no history)")
        ->default_val(retention.days)
        ->check(CLI::Range(0, 36500));
    app.add_option("--history-records", retention.records, "keep at most this many history records")
        ->default_val(retention.records)
        ->check(CLI::Range(1000, 1000000000));
    app.footer("Tokens (kept as hashes in the state directory; a running service sees changes within a second):\n"
               "  cortaviad token add NAME --role viewer|operator|admin [--url URL] [--state-dir DIR]\n"
               "  cortaviad token list [--state-dir DIR]\n"
               "  cortaviad token revoke NAME [--state-dir DIR]");
    certOption->needs(keyOption);
    keyOption->needs(certOption);
    MqttOptions mqttOptions;
    AddMqttOptions(app, mqttOptions);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    options.poll = std::chrono::milliseconds(static_cast<long long>(pollSeconds * 1000));
    options.port = static_cast<unsigned short>(port);

    auto httpAt = ParseListen(http);
    if (!httpAt) {
        std::cerr << "cortaviad: --http " << http << ": not ADDR:PORT with a literal address\n";
        return 2;
    }
    std::optional<Listen> controlAt;
    if (control != "off") {
        controlAt = ParseListen(control);
        if (!controlAt) {
            std::cerr << "cortaviad: --control " << control << ": not ADDR:PORT with a literal address, or off\n";
            return 2;
        }
    }

    for (auto& h : allowHosts) {
        for (auto& c : h)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (h.empty() || h.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-._") != std::string::npos) {
            std::cerr << "cortaviad: --allow-host " << h << ": not a host name\n";
            return 2;
        }
    }

    RaiseDescriptorLimit();
    QCoreApplication qapp(argc, argv);
    std::optional<QSslConfiguration> tls;
    if (!tlsCert.empty()) {
        auto loaded = LoadTls(tlsCert, tlsKey);
        if (!loaded) {
            std::cerr << "cortaviad: " << loaded.error() << "\n";
            return 1;
        }
        tls = *loaded;
    }
    if (auto made = MakeDirectories(options.stateDir); !made)
        std::cerr << "cortaviad: " << made.error() << " (scenes cannot be saved)\n";
    // Off loopback every request carries a named token (or whatever
    // --loopback-role none asks for on loopback too).
    const bool open = !httpAt->address.isLoopback() || (controlAt && !controlAt->address.isLoopback());
    for (const auto& stale : RemoveStaleTemporaries(options.stateDir))
        std::cerr << "cortaviad: removed " << stale << ", left by an interrupted write\n";
    TokenStore tokens(options.stateDir);
    if (auto imported = tokens.ImportLegacy(); !imported) {
        // Never beyond loopback with a token file in doubt: the same ports
        // there, until an operator has dealt with it and restarted.
        std::cerr << "cortaviad: " << imported.error() << "; listening on loopback only until then\n";
        httpAt->address = QHostAddress::LocalHost;
        if (controlAt)
            controlAt->address = QHostAddress::LocalHost;
        http = "127.0.0.1:" + std::to_string(httpAt->port);
        if (controlAt)
            control = "127.0.0.1:" + std::to_string(controlAt->port);
    } else if (*imported) {
        std::cerr << "cortaviad: the token file is now the admin token named 'token' (kept as a hash; its "
                     "clients keep working)\n";
    }
    if (const auto problem = tokens.Refresh())
        std::cerr << "cortaviad: " << *problem << "\n";
    if (open && tokens.entries().empty())
        std::cerr << "cortaviad: no tokens yet; every request from the network is refused until one is made: "
                     "cortaviad token add NAME --role admin --state-dir "
                  << options.stateDir << "\n";
    std::unique_ptr<History> history;
    if (retention.days == 0)
        std::cerr << "cortaviad: --history-days 0: no history is kept\n";
    else if (auto opened = History::Open(options.stateDir, retention))
        history = std::move(*opened);
    else
        std::cerr << "cortaviad: " << opened.error() << " (nothing is recorded)\n";
    // When each token was last used, at most once a minute each.
    std::map<std::string, std::int64_t> lastUse;
    const auto lookup = [&tokens, &history, &lastUse](std::string_view token) -> std::optional<Identity> {
        auto who = tokens.Find(token);
        if (who && history) {
            const std::int64_t now = NowMs();
            auto& last = lastUse[who->name];
            if (now - last > 60000) {
                last = now;
                history->TokenUsed(who->name, now);
            }
        }
        return who;
    };
    const Role trust = *ParseRole(loopbackRole, true);
    for (const auto& problem : SceneStore(options.stateDir).Problems())
        std::cerr << "cortaviad: " << problem << " (left out until it is fixed or written again)\n";
    for (const auto& problem : LabelStore(options.stateDir).Problems())
        std::cerr << "cortaviad: " << problem << " (the next label written starts it afresh)\n";
    Installation installation(options);
    if (history) {
        installation.Subscribe([h = history.get()](const LoggedEvent& e) {
            const std::string& type = e.event.type;
            const Json& data = e.event.data;
            HistoryRecord r;
            r.detail = data;
            if (type == "online" || type == "offline") {
                r.actor = "device";
                r.subject = data.value("mac", "");
            } else if (type == "conflict" || type == "conflict-cleared") {
                r.actor = "service";
                r.subject = "channel " + data.value("channel", "");
            } else if (type == "failed") {
                r.actor = "service";
                r.subject = data.value("endpoint", "");
                r.ok = false;
            } else {
                return;
            }
            r.action = type;
            h->Record(std::move(r));
        });
    }
    // A revoked token is refused within a second, an added one taken.
    QTimer tokenWatch;
    QObject::connect(&tokenWatch, &QTimer::timeout, [&tokens] {
        if (const auto problem = tokens.Refresh())
            std::cerr << "cortaviad: " << *problem << std::endl;
    });
    tokenWatch.start(1000);
    std::unique_ptr<MqttBridge> mqttBridge;
    if (!mqttOptions.url.empty()) {
        auto made = MqttBridge::Create(installation, mqttOptions);
        if (!made) {
            std::cerr << "cortaviad: " << made.error() << "\n";
            return 2;
        }
        mqttBridge = std::move(*made);
        mqttBridge->SetHistory(history.get());
    }
    HttpApi api(installation, history.get(), std::string(kOpenApi), options.stateDir);
    HeadPolicy policy;
    policy.lookup = lookup;
    policy.anonymous = httpAt->address.isLoopback() ? trust : Role::None;
    policy.listen = httpAt->address.toString().toStdString();
    policy.hosts = allowHosts;
    policy.maxBody = limits::kMaxBody;
    auto* httpServer = new HttpGate(policy, &api);
    if (tls)
        httpServer->UseTls(*tls);
    if (!httpServer->listen(httpAt->address, httpAt->port)) {
        std::cerr << "cortaviad: cannot listen on " << http << ": " << httpServer->errorString().toStdString() << "\n";
        return 1;
    }
    api.bind(httpServer);
    std::unique_ptr<ControlServer> lines;
    if (controlAt) {
        lines = std::make_unique<ControlServer>(installation, lookup,
                                                controlAt->address.isLoopback() ? trust : Role::None, history.get());
        if (!lines->listen(controlAt->address, controlAt->port)) {
            std::cerr << "cortaviad: cannot listen on " << control << ": " << lines->errorString().toStdString()
                      << "\n";
            return 1;
        }
    }

    // SIGTERM (systemd) and SIGINT (a terminal) end the loop, so that no
    // write is cut off and every client sees its connection close.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) == 0) {
        auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &qapp);
        QObject::connect(notifier, &QSocketNotifier::activated, &qapp, [] { QCoreApplication::quit(); });
        std::signal(SIGTERM, OnSignal);
        std::signal(SIGINT, OnSignal);
    }
    std::signal(SIGPIPE, SIG_IGN);

    std::cerr << "cortaviad: " << (tls ? "HTTPS" : "HTTP") << " on " << http
              << (!httpAt->address.isLoopback() ? " (tokens)" : "")
              << (controlAt ? ", line protocol on " + control : std::string()) << ", state in " << options.stateDir
              << std::endl;
    installation.Start();
    if (mqttBridge)
        mqttBridge->Start();
    return qapp.exec();
}

}  // namespace cv::service
