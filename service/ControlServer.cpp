#include "service/ControlServer.h"

#include "service/Limits.h"
#include "service/StateFiles.h"

#include <QTimer>

#include <unistd.h>

#include <variant>

namespace cv::service {

namespace {
// Lines a client may queue behind a waiting command; more is a flood.
constexpr std::size_t kMaxQueued = 64;
// Replies a client leaves unread before it is let go.
constexpr qint64 kMaxUnread = 1024 * 1024;

template <class... F>
struct Overload : F... {
    using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

std::string Describe(const Outcome& o) { return o.step.empty() ? o.detail : o.step + ": " + o.detail; }
}  // namespace

struct ControlServer::Client {
    QPointer<QTcpSocket> socket;
    QHostAddress peer;
    line::LineSplitter splitter;
    std::deque<std::optional<std::string>> queued;
    QTimer idle;
    bool busy = false;
    Identity who;  // a token's, or the anonymous role as line:PEER
    std::string lineName;  // line:ADDRESS:PORT
    bool authed = false;
    bool spoke = false;  // has sent a command that was answered
    bool closing = false;
    std::size_t refusedBeforeAuth = 0;
    int listener = 0;
};

ControlServer::ControlServer(Installation& installation, Lookup lookup, Role anonymous, History* history,
                             QObject* parent)
    : QTcpServer(parent),
      installation_(installation),
      lookup_(std::move(lookup)),
      anonymous_(anonymous),
      history_(history),
      admission_(limits::kMaxLineConnections, limits::kMaxLinePerPeer)
{
    connect(this, &QTcpServer::newConnection, this, [this] { Accepted(); });
    ResumeAfterAcceptErrors(this);
}

void ControlServer::incomingConnection(qintptr descriptor)
{
    QHostAddress peer;
    if (!admission_.Admit(descriptor, peer).empty()) {
        ::close(static_cast<int>(descriptor));
        return;
    }
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(static_cast<int>(descriptor));
        admission_.Leave(peer);
        delete socket;
        return;
    }
    socket->setProperty("cv-peer", peer.toString());
    addPendingConnection(socket);
}

void ControlServer::Accepted()
{
    while (QTcpSocket* socket = nextPendingConnection()) {
        auto client = std::make_shared<Client>();
        client->socket = socket;
        client->peer = QHostAddress(socket->property("cv-peer").toString());
        const QString address = client->peer.protocol() == QAbstractSocket::IPv6Protocol
            ? "[" + client->peer.toString() + "]"
            : client->peer.toString();
        client->lineName = "line:" + address.toStdString() + ":" + std::to_string(socket->peerPort());
        client->who = {client->lineName, anonymous_};
        client->authed = anonymous_ != Role::None;
        // A flood is read a piece at a time, never whole into memory.
        socket->setReadBufferSize(static_cast<qint64>(limits::kLineReadBuffer));
        client->idle.setSingleShot(true);
        connect(&client->idle, &QTimer::timeout, socket, [this, weak = std::weak_ptr<Client>(client)] {
            if (const auto c = weak.lock())
                Close(c);
        });
        Idle(client);
        connect(socket, &QTcpSocket::readyRead, socket, [this, client] { Received(client); });
        connect(socket, &QTcpSocket::disconnected, socket, [this, client, socket] {
            Close(client);
            socket->deleteLater();
        });
        connect(socket, &QObject::destroyed, this, [this, peer = client->peer] { admission_.Leave(peer); });
    }
}

void ControlServer::Idle(const ClientPtr& client)
{
    // Silence is allowed for a while once the client has shown it is one
    // of ours; before that, briefly.
    const bool known = client->authed && (anonymous_ == Role::None || client->spoke);
    client->idle.start(limits::Scaled(known ? limits::kLineIdle : limits::kLineFirstIdle));
}

void ControlServer::Received(const ClientPtr& client)
{
    if (client->closing || !client->socket)
        return;
    Idle(client);
    std::vector<std::optional<std::string>> lines;
    client->splitter.Feed(client->socket->readAll().toStdString(), lines);
    for (auto& l : lines) {
        if (client->closing)
            return;
        if (client->busy && client->queued.size() >= kMaxQueued) {
            Reply(client, line::Err("too many lines queued; slow down"));
            continue;
        }
        client->queued.push_back(std::move(l));
        Next(client);
    }
}

void ControlServer::Close(const ClientPtr& client)
{
    if (client->closing)
        return;
    client->closing = true;
    client->queued.clear();
    client->idle.stop();
    if (client->listener) {
        installation_.Unsubscribe(client->listener);
        client->listener = 0;
    }
    // abort() reports the disconnection at once; the socket itself is
    // deleted later, and the client lives on in whatever still holds it.
    if (client->socket && client->socket->state() != QAbstractSocket::UnconnectedState)
        client->socket->abort();
}

void ControlServer::Reply(const ClientPtr& client, const std::string& text)
{
    if (client->closing || !client->socket)
        return;
    if (client->socket->bytesToWrite() > kMaxUnread)
        return Close(client);
    client->socket->write(text.data(), static_cast<qint64>(text.size()));
}

void ControlServer::Done(const ClientPtr& client, const std::string& text)
{
    client->busy = false;
    Reply(client, text);
    Next(client);
}

void ControlServer::Next(const ClientPtr& client)
{
    while (!client->busy && !client->closing && client->socket && !client->queued.empty()) {
        const std::optional<std::string> text = std::move(client->queued.front());
        client->queued.pop_front();
        if (!text) {
            Reply(client, line::Err("line longer than 1024 bytes"));
            continue;
        }
        if (text->empty())
            continue;
        const line::Command command = line::Parse(*text);
        if (!client->authed && !std::holds_alternative<line::Auth>(command)) {
            if (++client->refusedBeforeAuth > limits::kMaxLinesBeforeAuth)
                return Close(client);
            Reply(client, line::Err("auth <token> first"));
            continue;
        }
        if (const Role needed = line::Needs(command); client->authed && !Allows(client->who.role, needed)) {
            Reply(client, line::Err(RoleRefusal(needed, client->who)));
            continue;
        }
        client->spoke = true;
        Run(client, command);
        Idle(client);
    }
}

void ControlServer::Run(const ClientPtr& client, const line::Command& command)
{
    const Model& model = installation_.model();
    std::visit(
        Overload{
            [&](const line::Bad& bad) { Reply(client, line::Err(bad.reason)); },
            [&](const line::Help&) { Reply(client, line::HelpText() + line::Ok()); },
            [&](const line::Auth& auth) {
                auto who = lookup_ ? lookup_(auth.token) : std::nullopt;
                if (!who || who->role == Role::None) {
                    // Back to what a client without a token is.
                    client->who = {client->lineName, anonymous_};
                    client->authed = anonymous_ != Role::None;
                    if (++client->refusedBeforeAuth > limits::kMaxLinesBeforeAuth)
                        return Close(client);
                    return Reply(client, line::Err("wrong token"));
                }
                client->who = std::move(*who);
                client->authed = true;
                Reply(client, line::Ok());
            },
            [&](const line::ShowHistory& h) {
                if (!history_)
                    return Reply(client, line::Err("history: none is kept (see the log)"));
                HistoryQuery q;
                q.limit = h.count;
                const auto rows = history_->Query(q);
                if (!rows)
                    return Reply(client, line::Err(rows.error()));
                std::string out;
                for (const auto& r : *rows)
                    out += line::HistoryLine(FormatTime(r.time), r.actor, r.action, r.subject, r.ok, r.detail);
                Reply(client, out + line::Ok());
            },
            [&](const line::Devices&) {
                if (!installation_.ready())
                    return Reply(client, line::Err("the first scan is still running"));
                std::string out;
                for (const auto& [mac, d] : model.devices())
                    out += line::DeviceLine(d);
                Reply(client, out + line::Ok());
            },
            [&](const line::Routes&) {
                if (!installation_.ready())
                    return Reply(client, line::Err("the first scan is still running"));
                std::string out;
                for (const auto& r : model.Routes())
                    out += line::RouteLine(r);
                Reply(client, out + line::Ok());
            },
            [&](const line::Scenes&) {
                const auto names = installation_.scenes().Names();
                if (!names)
                    return Reply(client, line::Err(names.error()));
                std::string out;
                // As GET /scenes: only those that read as scenes;
                // the others are problems in /health.
                for (const auto& n : *names)
                    if (const auto scene = installation_.scenes().Load(n); scene && *scene)
                        out += "SCENE " + n + "\r\n";
                Reply(client, out + line::Ok());
            },
            [&](const line::Subscribe& sub) {
                if (client->listener) {
                    installation_.Unsubscribe(client->listener);
                    client->listener = 0;
                }
                std::string out;
                if (sub.since) {
                    // Resumable: what was missed first, or the whole
                    // picture when the ring no longer reaches back.
                    const auto& log = installation_.events();
                    if (const auto missed = log.Since(*sub.since); missed && *sub.since != 0) {
                        for (const LoggedEvent* e : *missed)
                            out += line::EventLine(e->id, e->event);
                    } else {
                        out += line::EventLine(log.lastId(), {"snapshot", installation_.Snapshot()});
                    }
                }
                const bool ids = sub.since.has_value();
                client->listener =
                    installation_.Subscribe([this, ids, weak = std::weak_ptr<Client>(client)](const LoggedEvent& e) {
                        if (const auto c = weak.lock())
                            Reply(c, ids ? line::EventLine(e.id, e.event) : line::EventLine(e.event));
                    });
                Reply(client, out + line::Ok());
            },
            [&](const line::Forget& f) {
                const auto forgot = installation_.Forget(f.mac);
                if (history_)
                    history_->Record(
                        {0, client->who.name, "forget", f.mac, Json::object(), forgot == Model::Forget::Done});
                switch (forgot) {
                case Model::Forget::Done: return Reply(client, line::Ok());
                case Model::Forget::Online:
                    return Reply(client, line::Err(f.mac + " is online; only an offline device is forgotten"));
                case Model::Forget::NoSuchDevice: return Reply(client, line::Err("no device " + f.mac));
                }
            },
            [&](const line::RouteTo& r) {
                client->busy = true;
                installation_.RouteOne({r.rx, r.tx}, [this, client, actor = client->who.name](RouteResult result) {
                    RecordResults(history_, actor, "route", {result});
                    if (!result.outcome.ok())
                        return Done(client, line::Err(Describe(result.outcome)));
                    Done(client, line::RouteLine(*result.route) + line::Ok());
                });
            },
            [&](const line::Recall& r) {
                client->busy = true;
                installation_.Recall(
                    r.name,
                    [this, client, actor = client->who.name, name = r.name](Outcome whole,
                                                                            std::vector<RouteResult> results) {
                        if (results.empty() && history_)
                            history_->Record(
                                {0, actor, "recall", name, {{"scene", name}, {"error", whole.detail}}, false});
                        RecordResults(history_, actor, "recall", results, {{"scene", name}});
                        std::string out;
                        for (const auto& x : results)
                            if (x.route && x.outcome.ok())
                                out += line::RouteLine(*x.route);
                        Done(client, out + (whole.ok() ? line::Ok() : line::Err(Describe(whole))));
                    });
            },
            [&](const line::Identify& id) {
                client->busy = true;
                installation_.Identify(
                    id.on, id.rx,
                    [this, client, actor = client->who.name, on = id.on](Outcome whole,
                                                                         std::vector<RouteResult> results) {
                        if (results.empty() && history_)
                            history_->Record({0, actor, "identify", "", {{"on", on}, {"error", whole.detail}}, false});
                        RecordResults(history_, actor, "identify", results, {{"on", on}});
                        Done(client, whole.ok() ? line::Ok() : line::Err(Describe(whole)));
                    });
            },
        },
        command);
}

}  // namespace cv::service
