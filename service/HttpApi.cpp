#include "service/HttpApi.h"

#include "service/HttpGate.h"
#include "service/Requests.h"
#include "service/StateFiles.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QUrl>
#include <QUrlQuery>

namespace cv::service {

namespace {

using Status = QHttpServerResponder::StatusCode;
using Method = QHttpServerRequest::Method;

QByteArray Dump(const Json& j)
{
    return QByteArray::fromStdString(j.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void Answer(QHttpServerResponder& r, Status status, const Json& body)
{
    r.write(Dump(body), {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"}, {"Connection", "close"}},
            status);
}

// The state directory as the host names it: no answer shows it.
std::string& StateDirectory()
{
    static std::string dir;
    return dir;
}

std::string Scrubbed(std::string message)
{
    const std::string& dir = StateDirectory();
    if (dir.empty())
        return message;
    for (auto at = message.find(dir + "/"); at != std::string::npos; at = message.find(dir + "/"))
        message.erase(at, dir.size() + 1);
    for (auto at = message.find(dir); at != std::string::npos; at = message.find(dir))
        message.replace(at, dir.size(), "the state directory");
    return message;
}

void Error(QHttpServerResponder& r, Status status, const std::string& message)
{
    Answer(r, status, {{"error", Scrubbed(message)}});
}

Status StatusOf(Refusal refusal)
{
    switch (refusal) {
    case Refusal::None: return Status::Ok;
    case Refusal::BadInput: return Status::BadRequest;
    case Refusal::NotFound: return Status::NotFound;
    case Refusal::Conflict: return Status::Conflict;
    case Refusal::EndpointFailed: return Status::BadGateway;
    case Refusal::NotReady: return Status::ServiceUnavailable;
    case Refusal::StateFailed: return Status::InternalServerError;
    case Refusal::Superseded: return Status::Conflict;
    }
    return Status::InternalServerError;
}

void Refuse(QHttpServerResponder& r, const Outcome& o, const std::optional<Route>& shown = std::nullopt)
{
    Json body{{"error", Scrubbed(o.refusal == Refusal::Superseded ? "superseded: " + o.detail : o.detail)}};
    if (!o.step.empty())
        body["step"] = o.step;
    if (shown)
        body["route"] = ToJson(*shown);
    Answer(r, StatusOf(o.refusal), body);
}

// Per display: 200 when every display did it, 502 with every display's
// result when any did not (an unknown or offline one included).
void AnswerPerDisplay(QHttpServerResponder& r, const Outcome& whole, const std::vector<RouteResult>& results)
{
    if (results.empty() && !whole.ok())
        return Refuse(r, whole);
    Json list = Json::array();
    for (const auto& x : results)
        list.push_back(ToJson(x));
    Answer(r, AllSucceeded(results) ? Status::Ok : Status::BadGateway, list);
}

QByteArray StreamText(const LoggedEvent& e)
{
    return QByteArray::fromStdString("id: " + std::to_string(e.id) + "\nevent: " + e.event.type + "\ndata: " +
                                     e.event.data.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n\n");
}

std::vector<std::string> Segments(const QUrl& url)
{
    std::vector<std::string> out;
    const QString path = url.path(QUrl::FullyDecoded);
    for (const QString& part : path.split(u'/', Qt::SkipEmptyParts))
        out.push_back(part.toStdString());
    return out;
}

// The whole outcome of several routes: the first refusal decides, then
// the first endpoint that failed.
Status WholeStatus(const std::vector<RouteResult>& results)
{
    Status status = Status::Ok;
    for (const auto& r : results) {
        if (r.outcome.ok())
            continue;
        if (r.outcome.refusal != Refusal::EndpointFailed)
            return StatusOf(r.outcome.refusal);
        status = Status::BadGateway;
    }
    return status;
}

Json ResultsJson(const std::vector<RouteResult>& results)
{
    Json list = Json::array();
    for (const auto& r : results)
        list.push_back(ToJson(r));
    return list;
}

// Sent (each result read back or failed at its endpoint): the list. Refused
// before anything was sent: the first reason, with every refusal.
void AnswerResults(QHttpServerResponder& r, const std::vector<RouteResult>& results)
{
    const Status status = WholeStatus(results);
    if (status == Status::Ok || status == Status::BadGateway)
        return Answer(r, status, ResultsJson(results));
    for (const auto& x : results)
        if (!x.outcome.ok() && x.outcome.refusal != Refusal::EndpointFailed)
            return Answer(r, status, {{"error", x.outcome.detail}, {"results", ResultsJson(results)}});
}

}  // namespace

HttpApi::HttpApi(Installation& installation, History* history, std::string openApi, std::string stateDir,
                 QObject* parent)
    : QAbstractHttpServer(parent),
      installation_(installation),
      history_(history),
      openApi_(std::move(openApi))
{
    while (stateDir.size() > 1 && stateDir.back() == '/')
        stateDir.pop_back();
    StateDirectory() = std::move(stateDir);
    listener_ = installation_.Subscribe([this](const LoggedEvent& e) { Broadcast(e); });
    // Proxies and phones drop a stream that stays silent; a comment line
    // every 15 s keeps it open and finds the clients that have gone.
    connect(&keepAlive_, &QTimer::timeout, this, [this] {
        for (auto& s : streams_)
            if (s.socket)
                s.responder->writeBody(": keep-alive\n\n");
    });
    keepAlive_.start(15000);
}

HttpApi::~HttpApi() { installation_.Unsubscribe(listener_); }

void HttpApi::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    auto r = makeResponder(request, socket);
    Error(r, Status::NotFound, "no such path");
}

bool HttpApi::ServePage(const QHttpServerRequest& request, QTcpSocket* socket)
{
    static const std::map<QString, QByteArray> kTypes = {
        {"html", "text/html; charset=utf-8"},
        {"css", "text/css; charset=utf-8"},
        {"js", "text/javascript; charset=utf-8"},
        {"svg", "image/svg+xml"},
    };
    if (request.method() != Method::Get)
        return false;
    QString path = request.url().path(QUrl::FullyDecoded);
    if (path == "/")
        path = "/index.html";
    // Only plain names in the page's own folder: no "..", no subfolders.
    const QString name = path.mid(1);
    if (name.isEmpty() || name.contains(u'/') || name.startsWith(u'.'))
        return false;
    QFile file(":/web/" + name);
    const QString ext = name.section(u'.', -1);
    const auto type = kTypes.find(ext);
    if (type == kTypes.end() || !file.open(QIODevice::ReadOnly))
        return false;
    auto r = makeResponder(request, socket);
    r.write(file.readAll(),
            {{"Content-Type", type->second},
             {"Cache-Control", "no-cache"},
             {"Connection", "close"},
             {"X-Content-Type-Options", "nosniff"},
             {"Content-Security-Policy",
              "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
              "connect-src 'self'; frame-ancestors 'none'"}},
            Status::Ok);
    return true;
}

bool HttpApi::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // Its head was judged before its body was read (HttpGate).
    if (!HttpGate::Handling(socket))
        return true;
    const auto path = Segments(request.url());
    const bool stream = path.size() == 3 && path[0] == "api" && path[1] == "v1" && path[2] == "events" &&
        request.method() == Method::Get;
    // The page holds no secret and must load to ask for the token.
    if (ServePage(request, socket))
        return true;
    // The gate decided who asks and that they may (a socket that came
    // another way is nobody, and may do nothing).
    const Identity who = HttpGate::Who(socket);
    const bool reads = request.method() == Method::Get || request.method() == Method::Head;
    if (const Role needed = NeededFor(reads ? "GET" : "POST", path); !Allows(who.role, needed)) {
        auto r = makeResponder(request, socket);
        Error(r, Status::Forbidden, RoleRefusal(needed, who));
        return true;
    }
    if (request.body().size() > kMaxBody || request.value("Content-Length").toLongLong() > kMaxBody) {
        auto r = makeResponder(request, socket);
        Error(r, Status::PayloadTooLarge, "body: at most 64 KiB");
        return true;
    }
    if (stream) {
        OpenStream(request, socket);
        return true;
    }
    auto responder = std::make_shared<QHttpServerResponder>(makeResponder(request, socket));
    Dispatch(request, responder, path, who.name);
    return true;
}

void HttpApi::Dispatch(const QHttpServerRequest& request, const Responder& r, const std::vector<std::string>& path,
                       const std::string& actor)
{
    History* history = history_;
    const auto record = [history, actor](std::string action, std::string subject, Json detail, bool ok) {
        if (history)
            history->Record({0, actor, std::move(action), std::move(subject), std::move(detail), ok});
    };
    const Method method = request.method();
    if (path.size() < 3 || path[0] != "api" || path[1] != "v1")
        return Error(*r, Status::NotFound, "no such path");
    const std::string& what = path[2];
    const std::size_t depth = path.size();
    const auto wrongMethod = [&] { Error(*r, Status::MethodNotAllowed, "method not allowed here"); };
    const auto body = [&](Json& out) {
        auto parsed = ParseBody(request.body().toStdString());
        if (!parsed) {
            Error(*r, Status::BadRequest, parsed.error());
            return false;
        }
        out = std::move(*parsed);
        return true;
    };
    const auto notReady = [&] {
        if (installation_.ready())
            return false;
        Error(*r, Status::ServiceUnavailable, "the first scan is still running");
        return true;
    };
    const Model& model = installation_.model();

    if (what == "health" && depth == 3) {
        if (method != Method::Get)
            return wrongMethod();
        std::size_t tx = 0;
        for (const auto& [mac, d] : model.devices())
            tx += d.kind == Kind::Tx;
        const std::string& problem = installation_.problem();
        return Answer(*r, Status::Ok,
                      {{"status", problem.empty() ? "ok" : "degraded"},
                       {"discovery", problem.empty() ? "ok" : problem},
                       {"version", CORTAVIA_VERSION},
                       {"ready", installation_.ready()},
                       {"polls", installation_.pollsDone()},
                       {"devices", model.devices().size()},
                       {"online", model.online()},
                       {"transmitters", tx},
                       {"receivers", model.devices().size() - tx},
                       {"conflicts", model.Conflicts().size()},
                       {"poll_cycle_ms", installation_.lastPollCycle().count()},
                       {"sessions", installation_.gate().active()},
                       {"sessions_waiting", installation_.gate().waiting()},
                       {"last_event_id", installation_.events().lastId()},
                       {"problems", Problems()}});
    }
    if (what == "openapi.json" && depth == 3) {
        if (method != Method::Get)
            return wrongMethod();
        return r->write(QByteArray::fromStdString(openApi_),
                        {{"Content-Type", "application/json"}, {"Connection", "close"}}, Status::Ok);
    }
    if (what == "devices" && depth == 3) {
        if (method != Method::Get)
            return wrongMethod();
        if (notReady())
            return;
        Json list = Json::array();
        for (const auto& [mac, d] : model.devices())
            list.push_back(ToJson(d));
        return Answer(*r, Status::Ok, list);
    }
    if (what == "devices" && depth == 4) {
        if (method != Method::Delete)
            return wrongMethod();
        const auto mac = NormalMac(path[3]);
        if (!mac)
            return Error(*r, Status::BadRequest, "mac: not a MAC address (aa:bb:cc:dd:ee:ff)");
        const auto forgot = installation_.Forget(*mac);
        record("forget", *mac, Json::object(), forgot == Model::Forget::Done);
        switch (forgot) {
        case Model::Forget::Done: return r->write(Status::NoContent);
        case Model::Forget::Online:
            return Error(*r, Status::Conflict, "mac: " + *mac + " is online; only an offline device is forgotten");
        case Model::Forget::NoSuchDevice: return Error(*r, Status::NotFound, "mac: no device " + *mac);
        }
    }
    if (what == "conflicts" && depth == 3) {
        if (method != Method::Get)
            return wrongMethod();
        if (notReady())
            return;
        Json list = Json::array();
        for (const auto& c : model.Conflicts())
            list.push_back(ToJson(c));
        return Answer(*r, Status::Ok, list);
    }
    if (what == "routes" && depth == 3) {
        if (method == Method::Get) {
            if (notReady())
                return;
            Json list = Json::array();
            for (const auto& route : model.Routes())
                list.push_back(ToJson(route));
            return Answer(*r, Status::Ok, list);
        }
        if (method != Method::Post)
            return wrongMethod();
        Json j;
        if (!body(j))
            return;
        const auto requests = BulkRouteBody(j);
        if (!requests)
            return Error(*r, Status::BadRequest, requests.error());
        return installation_.RouteMany(*requests, [r, history, actor](std::vector<RouteResult> results) {
            RecordResults(history, actor, "route", results);
            AnswerResults(*r, results);
        });
    }
    if (what == "routes" && depth == 4) {
        if (method != Method::Put)
            return wrongMethod();
        Json j;
        if (!body(j))
            return;
        const auto request = RouteBody(path[3], j);
        if (!request)
            return Error(*r, Status::BadRequest, request.error());
        return installation_.RouteOne(*request, [r, history, actor](RouteResult result) {
            RecordResults(history, actor, "route", {result});
            if (!result.outcome.ok())
                return Refuse(*r, result.outcome,
                              result.outcome.refusal == Refusal::Superseded ? result.route : std::nullopt);
            Answer(*r, Status::Ok, ToJson(*result.route));
        });
    }
    if (what == "scenes" && depth == 3) {
        if (method != Method::Get)
            return wrongMethod();
        const auto names = installation_.scenes().Names();
        if (!names)
            return Error(*r, Status::InternalServerError, names.error());
        Json list = Json::array();
        for (const auto& name : *names)
            if (auto scene = installation_.scenes().Load(name); scene && *scene)
                list.push_back(ToJson(**scene));
        return Answer(*r, Status::Ok, list);
    }
    if (what == "scenes" && (depth == 4 || depth == 5)) {
        const std::string& name = path[3];
        if (!IsSceneName(name))
            return Error(*r, Status::BadRequest, "name: letters, digits, '-', '_', '.' and inner spaces, 1 to 64");
        if (depth == 5) {
            if (method != Method::Post)
                return wrongMethod();
            if (path[4] == "capture") {
                if (notReady())
                    return;
                const auto scene = installation_.Capture(name);
                record("scene-capture", name, scene ? Json::object() : Json{{"error", scene.error()}},
                       scene.has_value());
                if (!scene)
                    return Error(*r, Status::InternalServerError, scene.error());
                return Answer(*r, Status::Ok, ToJson(*scene));
            }
            if (path[4] == "recall") {
                if (notReady())
                    return;
                return installation_.Recall(
                    name, [r, history, actor, name](Outcome whole, std::vector<RouteResult> results) {
                        if (results.empty() && history)
                            history->Record(
                                {0, actor, "recall", name, {{"scene", name}, {"error", whole.detail}}, false});
                        RecordResults(history, actor, "recall", results, {{"scene", name}});
                        AnswerPerDisplay(*r, whole, results);
                    });
            }
            return Error(*r, Status::NotFound, "no such path");
        }
        if (method == Method::Get) {
            const auto scene = installation_.scenes().Load(name);
            if (!scene)
                return Error(*r, Status::InternalServerError, scene.error());
            if (!*scene)
                return Error(*r, Status::NotFound, "no scene " + name);
            return Answer(*r, Status::Ok, ToJson(**scene));
        }
        if (method == Method::Put) {
            Json j;
            if (!body(j))
                return;
            const auto scene = SceneFromJson(name, j);
            if (!scene)
                return Error(*r, Status::BadRequest, scene.error());
            const auto saved = installation_.SaveScene(*scene);
            record("scene-save", name, saved ? Json::object() : Json{{"error", saved.error()}}, saved.has_value());
            if (!saved)
                return Error(*r, Status::InternalServerError, saved.error());
            return Answer(*r, Status::Ok, ToJson(*scene));
        }
        if (method == Method::Delete) {
            const auto removed = installation_.RemoveScene(name);
            record("scene-delete", name, removed ? Json::object() : Json{{"error", removed.error()}},
                   removed && *removed);
            if (!removed)
                return Error(*r, Status::InternalServerError, removed.error());
            if (!*removed)
                return Error(*r, Status::NotFound, "no scene " + name);
            return Answer(*r, Status::Ok, {{"deleted", name}});
        }
        return wrongMethod();
    }
    if (what == "labels" && depth == 3) {
        if (method != Method::Get)
            return wrongMethod();
        const auto all = installation_.labels().All();
        if (!all)
            return Error(*r, Status::InternalServerError, all.error());
        Json list = Json::object();
        for (const auto& [mac, label] : *all)
            list[mac] = label;
        return Answer(*r, Status::Ok, list);
    }
    if (what == "rooms" && depth == 3) {
        if (method != Method::Get)
            return wrongMethod();
        const auto all = installation_.labels().Rooms();
        if (!all)
            return Error(*r, Status::InternalServerError, all.error());
        Json list = Json::object();
        for (const auto& [mac, room] : *all)
            list[mac] = room;
        return Answer(*r, Status::Ok, list);
    }
    if (what == "labels" && depth == 4) {
        const auto mac = NormalMac(path[3]);
        if (!mac)
            return Error(*r, Status::BadRequest, "mac: not a MAC address (aa:bb:cc:dd:ee:ff)");
        if (method == Method::Put) {
            Json j;
            if (!body(j))
                return;
            const auto label = LabelBody(j);
            if (!label)
                return Error(*r, Status::BadRequest, label.error());
            const auto saved = installation_.SetLabel(*mac, *label);
            record("label-set", *mac,
                   saved ? Json{{"label", label->label}, {"room", label->room}} : Json{{"error", saved.error()}},
                   saved.has_value());
            if (!saved)
                return Error(*r, Status::InternalServerError, saved.error());
            return Answer(*r, Status::Ok,
                          {{"mac", *mac},
                           {"label", label->label},
                           {"room", label->room.empty() ? Json(nullptr) : Json(label->room)}});
        }
        if (method == Method::Delete) {
            const auto removed = installation_.RemoveLabel(*mac);
            record("label-delete", *mac, removed ? Json::object() : Json{{"error", removed.error()}},
                   removed && *removed);
            if (!removed)
                return Error(*r, Status::InternalServerError, removed.error());
            if (!*removed)
                return Error(*r, Status::NotFound, "mac: no label for " + *mac);
            return Answer(*r, Status::Ok, {{"deleted", *mac}});
        }
        return wrongMethod();
    }
    if (what == "history" && depth == 3) {
        if (method != Method::Get)
            return wrongMethod();
        if (!history_)
            return Error(*r, Status::ServiceUnavailable,
                         "history: none is kept (--history-days 0, or the database could not be opened; see the log)");
        const QUrlQuery query(request.url());
        const auto param = [&](const char* name) -> std::optional<std::string> {
            if (!query.hasQueryItem(name))
                return std::nullopt;
            return query.queryItemValue(name, QUrl::FullyDecoded).toStdString();
        };
        const auto q = ParseHistoryQuery(param("since"), param("device"), param("actor"), param("limit"));
        if (!q)
            return Error(*r, Status::BadRequest, q.error());
        const auto rows = history_->Query(*q);
        if (!rows)
            return Error(*r, Status::InternalServerError, rows.error());
        Json list = Json::array();
        for (const auto& row : *rows)
            list.push_back(ToJson(row));
        return Answer(*r, Status::Ok, list);
    }
    if (what == "identify" && depth == 3) {
        if (method != Method::Post)
            return wrongMethod();
        Json j;
        if (!body(j))
            return;
        const auto id = IdentifyBody(j);
        if (!id)
            return Error(*r, Status::BadRequest, id.error());
        return installation_.Identify(
            id->on, id->rx, [r, history, actor, on = id->on](Outcome whole, std::vector<RouteResult> results) {
                if (results.empty() && history)
                    history->Record({0, actor, "identify", "", {{"on", on}, {"error", whole.detail}}, false});
                RecordResults(history, actor, "identify", results, {{"on", on}});
                AnswerPerDisplay(*r, whole, results);
            });
    }
    Error(*r, Status::NotFound, "no such path");
}

void HttpApi::OpenStream(const QHttpServerRequest& request, QTcpSocket* socket)
{
    auto responder = std::make_unique<QHttpServerResponder>(makeResponder(request, socket));
    responder->writeStatusLine(Status::Ok);
    responder->writeHeaders({{"Content-Type", "text/event-stream"},
                             {"Cache-Control", "no-store"},
                             {"Connection", "close"},
                             {"X-Accel-Buffering", "no"}});
    // The stream opens with the retry time a browser reconnects after. A
    // client that comes back with the last id it saw gets what it missed,
    // or, when the ring no longer reaches back that far, the whole picture.
    responder->writeBody("retry: 2000\n: connected\n\n");
    QByteArray resumeFrom = request.value("Last-Event-ID");
    if (resumeFrom.isEmpty())
        resumeFrom = QUrlQuery(request.url()).queryItemValue("last_event_id").toUtf8();
    if (!resumeFrom.isEmpty()) {
        const auto lastSeen = ParseEventId(resumeFrom.toStdString());
        const auto missed = lastSeen ? installation_.events().Since(*lastSeen) : std::nullopt;
        if (missed) {
            for (const LoggedEvent* e : *missed)
                responder->writeBody(StreamText(*e));
        } else {
            LoggedEvent snapshot{installation_.events().lastId(), {"snapshot", installation_.Snapshot()}};
            responder->writeBody(StreamText(snapshot));
        }
    }
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { Drop(socket); });
    streams_.push_back({socket, std::move(responder)});
}

std::vector<std::string> HttpApi::Problems() const
{
    auto out = installation_.scenes().Problems();
    for (auto& p : installation_.labels().Problems())
        out.push_back(std::move(p));
    return out;
}

void HttpApi::Drop(QTcpSocket* socket)
{
    std::erase_if(streams_, [socket](const Stream& s) { return !s.socket || s.socket == socket; });
}

void HttpApi::Broadcast(const LoggedEvent& e)
{
    const QByteArray text = StreamText(e);
    std::vector<QTcpSocket*> slow;
    for (auto& s : streams_) {
        if (!s.socket)
            continue;
        // A client that stopped reading is let go rather than buffered for.
        if (s.socket->bytesToWrite() > 1024 * 1024) {
            slow.push_back(s.socket);
            continue;
        }
        s.responder->writeBody(text);
    }
    for (QTcpSocket* socket : slow) {
        Drop(socket);
        socket->abort();
    }
}

}  // namespace cv::service
