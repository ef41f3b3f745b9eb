#include "service/ControlServer.h"

#include "service/StateFiles.h"

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
    line::LineSplitter splitter;
    std::deque<std::optional<std::string>> queued;
    bool busy = false;
    bool authed = false;
    int listener = 0;
};

ControlServer::ControlServer(Installation& installation, std::optional<std::string> token, QObject* parent)
    : QTcpServer(parent),
      installation_(installation),
      token_(std::move(token))
{
    connect(this, &QTcpServer::newConnection, this, [this] { Accepted(); });
}

void ControlServer::Accepted()
{
    while (QTcpSocket* socket = nextPendingConnection()) {
        auto* client = new Client;
        client->socket = socket;
        client->authed = !token_;
        connect(socket, &QTcpSocket::readyRead, socket, [this, client] {
            std::vector<std::optional<std::string>> lines;
            client->splitter.Feed(client->socket->readAll().toStdString(), lines);
            for (auto& l : lines) {
                if (client->busy && client->queued.size() >= kMaxQueued) {
                    Reply(client, line::Err("too many lines queued; slow down"));
                    continue;
                }
                client->queued.push_back(std::move(l));
                Next(client);
            }
        });
        connect(socket, &QTcpSocket::disconnected, socket, [this, client, socket] {
            if (client->listener)
                installation_.Unsubscribe(client->listener);
            socket->deleteLater();
            // A reply still on its way finds the socket gone and the
            // client kept alive by the pending callback's own copy.
            client->socket = nullptr;
            if (!client->busy)
                delete client;
        });
    }
}

void ControlServer::Reply(Client* client, const std::string& text)
{
    if (!client->socket)
        return;
    if (client->socket->bytesToWrite() > kMaxUnread) {
        client->socket->abort();
        return;
    }
    client->socket->write(text.data(), static_cast<qint64>(text.size()));
}

void ControlServer::Done(Client* client, const std::string& text)
{
    client->busy = false;
    if (!client->socket) {
        delete client;
        return;
    }
    Reply(client, text);
    Next(client);
}

void ControlServer::Next(Client* client)
{
    while (!client->busy && client->socket && !client->queued.empty()) {
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
            Reply(client, line::Err("auth <token> first"));
            continue;
        }
        Run(client, command);
    }
}

void ControlServer::Run(Client* client, const line::Command& command)
{
    const Model& model = installation_.model();
    std::visit(Overload{
                   [&](const line::Bad& bad) { Reply(client, line::Err(bad.reason)); },
                   [&](const line::Help&) { Reply(client, line::HelpText() + line::Ok()); },
                   [&](const line::Auth& auth) {
                       if (token_ && !SameSecret(auth.token, *token_)) {
                           client->authed = false;
                           return Reply(client, line::Err("wrong token"));
                       }
                       client->authed = true;
                       Reply(client, line::Ok());
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
                       for (const auto& n : *names)
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
                       client->listener = installation_.Subscribe([this, client, ids](const LoggedEvent& e) {
                           Reply(client, ids ? line::EventLine(e.id, e.event) : line::EventLine(e.event));
                       });
                       Reply(client, out + line::Ok());
                   },
                   [&](const line::Forget& f) {
                       switch (installation_.Forget(f.mac)) {
                       case Model::Forget::Done: return Reply(client, line::Ok());
                       case Model::Forget::Online:
                           return Reply(client, line::Err(f.mac + " is online; only an offline device is forgotten"));
                       case Model::Forget::NoSuchDevice: return Reply(client, line::Err("no device " + f.mac));
                       }
                   },
                   [&](const line::RouteTo& r) {
                       client->busy = true;
                       installation_.RouteOne({r.rx, r.tx}, [this, client](RouteResult result) {
                           if (!result.outcome.ok())
                               return Done(client, line::Err(Describe(result.outcome)));
                           Done(client, line::RouteLine(*result.route) + line::Ok());
                       });
                   },
                   [&](const line::Recall& r) {
                       client->busy = true;
                       installation_.Recall(r.name, [this, client](Outcome whole, std::vector<RouteResult> results) {
                           std::string out;
                           for (const auto& x : results)
                               if (x.route && x.outcome.ok())
                                   out += line::RouteLine(*x.route);
                           Done(client, out + (whole.ok() ? line::Ok() : line::Err(Describe(whole))));
                       });
                   },
                   [&](const line::Identify& id) {
                       client->busy = true;
                       installation_.Identify(id.on, id.rx, [this, client](Outcome whole, std::vector<RouteResult>) {
                           Done(client, whole.ok() ? line::Ok() : line::Err(Describe(whole)));
                       });
                   },
               },
               command);
}

}  // namespace cv::service
