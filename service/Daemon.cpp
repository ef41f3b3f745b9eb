#include "service/Daemon.h"

#include "nodes/Firmware.h"
#include "service/ControlServer.h"
#include "service/Admission.h"
#include "service/HttpApi.h"
#include "service/HttpGate.h"
#include "service/Limits.h"
#include "service/Installation.h"
#include "service/Labels.h"
#include "service/Mqtt.h"
#include "service/OpenApi.h"
#include "service/StateFiles.h"

#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <QHostAddress>
#include <QFile>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
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

int signalPipe[2] = {-1, -1};
void OnSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &c, 1);
}

}  // namespace

int RunDaemon(int argc, char** argv)
{
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
    const char* stateEnv = std::getenv("STATE_DIRECTORY");
    options.stateDir = stateEnv && *stateEnv ? stateEnv : "/var/lib/cortavia";
    // systemd may give several directories, colon-separated: the first is ours.
    options.stateDir = options.stateDir.substr(0, options.stateDir.find(':'));
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
    // Off loopback every request must carry the token; without one the
    // service does not listen there at all.
    std::optional<std::string> token;
    const bool open = !httpAt->address.isLoopback() || (controlAt && !controlAt->address.isLoopback());
    for (const auto& stale : RemoveStaleTemporaries(options.stateDir))
        std::cerr << "cortaviad: removed " << stale << ", left by an interrupted write\n";
    if (open) {
        auto loaded = LoadOrCreateToken(options.stateDir);
        if (!loaded) {
            // Never beyond loopback without a token: the same ports there,
            // until an operator has dealt with it and restarted.
            std::cerr << "cortaviad: " << loaded.error() << "; listening on loopback only until then\n";
            httpAt->address = QHostAddress::LocalHost;
            if (controlAt)
                controlAt->address = QHostAddress::LocalHost;
            http = "127.0.0.1:" + std::to_string(httpAt->port);
            if (controlAt)
                control = "127.0.0.1:" + std::to_string(controlAt->port);
        } else {
            token = *loaded;
        }
    }

    for (const auto& problem : SceneStore(options.stateDir).Problems())
        std::cerr << "cortaviad: " << problem << " (left out until it is fixed or written again)\n";
    for (const auto& problem : LabelStore(options.stateDir).Problems())
        std::cerr << "cortaviad: " << problem << " (the next label written starts it afresh)\n";
    Installation installation(options);
    std::unique_ptr<MqttBridge> mqttBridge;
    if (!mqttOptions.url.empty()) {
        auto made = MqttBridge::Create(installation, mqttOptions);
        if (!made) {
            std::cerr << "cortaviad: " << made.error() << "\n";
            return 2;
        }
        mqttBridge = std::move(*made);
    }
    HttpApi api(installation, httpAt->address.isLoopback() ? std::nullopt : token, std::string(kOpenApi),
                options.stateDir);
    HeadPolicy policy;
    policy.token = httpAt->address.isLoopback() ? std::nullopt : token;
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
        lines = std::make_unique<ControlServer>(installation, controlAt->address.isLoopback() ? std::nullopt : token);
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
              << (token && !httpAt->address.isLoopback() ? " (token)" : "")
              << (controlAt ? ", line protocol on " + control : std::string()) << ", state in " << options.stateDir
              << std::endl;
    installation.Start();
    if (mqttBridge)
        mqttBridge->Start();
    return qapp.exec();
}

}  // namespace cv::service
