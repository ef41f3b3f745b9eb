#include "service/Installation.h"

#include "endpoint/Layout.h"
#include "lan/Discovery.h"
#include "nodes/NodeList.h"
#include "nodes/Operations.h"

#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <set>

namespace cv::service {

using endpoint::Narrow;
using endpoint::Widen;
using std::chrono::milliseconds;

namespace {

std::vector<Sighting> SightingsOf(const nodes::NodeList& list)
{
    std::vector<Sighting> rows;
    for (const auto& t : list.transmitters)
        rows.push_back({Narrow(t.address), Kind::Tx, "", Narrow(t.channel), Narrow(t.multicast), std::nullopt});
    for (const auto& r : list.receivers) {
        Sighting s{Narrow(r.address), Kind::Rx, Narrow(r.hostnameId), Narrow(r.channel), Narrow(r.multicast), {}};
        const std::string number = Narrow(r.number);
        int n = 0;
        // A number the list does not give (or garbles) leaves the receiver unnumbered.
        if (const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), n);
            ec == std::errc() && end == number.data() + number.size() && !number.empty())
            s.number = n;
        rows.push_back(std::move(s));
    }
    return rows;
}

}  // namespace

Json ToJson(const RouteResult& r)
{
    Json j;
    j["rx"] = r.rx;
    j["ok"] = r.outcome.ok();
    if (r.route) {
        j["tx"] = r.route->tx ? Json(*r.route->tx) : Json(nullptr);
        j["channel"] = r.route->channel;
    }
    if (!r.outcome.ok()) {
        j["step"] = r.outcome.step;
        j["error"] = r.outcome.detail;
    }
    return j;
}

Installation::Installation(InstallationOptions options, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      scenes_(options_.stateDir)
{
    pollTimer_.setSingleShot(true);
    connect(&pollTimer_, &QTimer::timeout, this, [this] { Poll(); });
}

Installation::~Installation()
{
    stopping_ = true;
    if (discovery_.joinable())
        discovery_.join();
}

void Installation::Start() { Poll(); }

int Installation::Subscribe(Listener listener)
{
    const int id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return id;
}

void Installation::Unsubscribe(int id) { listeners_.erase(id); }

void Installation::Publish(std::vector<Event>& events)
{
    for (const Event& e : events) {
        // A listener may unsubscribe (its client went) while we tell it.
        const auto copy = listeners_;
        for (const auto& [id, listener] : copy)
            if (listeners_.count(id))
                listener(e);
    }
    events.clear();
}

void Installation::Failed(const std::string& operation, const std::string& endpoint, const std::string& step,
                          const std::string& detail)
{
    std::vector<Event> events{
        {"failed", {{"operation", operation}, {"endpoint", endpoint}, {"step", step}, {"detail", detail}}}};
    Publish(events);
}

// --- polling ------------------------------------------------------------------

void Installation::Poll()
{
    if (polling_ || stopping_)
        return;
    polling_ = true;
    pollStarted_ = std::chrono::steady_clock::now();
    const Model::Ticket ticket = model_.BeginPoll();
    if (discovery_.joinable())
        discovery_.join();
    lan::DiscoveryOptions discovery;
    discovery.interfaces = options_.interfaces;
    QPointer<Installation> self(this);
    const std::string listFrom = listFrom_;
    discovery_ = std::thread([this, self, ticket, discovery, listFrom] {
        const lan::DiscoveryResult found = lan::Discover(discovery);
        std::vector<std::string> answered, responders;
        for (const auto& address : found.replies)
            if (std::find(answered.begin(), answered.end(), address) == answered.end())
                answered.push_back(address);
        // The last responder gives the node list, as in the window; others
        // in turn when its shell does not answer.
        for (auto it = found.replies.rbegin(); it != found.replies.rend(); ++it)
            if (std::find(responders.begin(), responders.end(), *it) == responders.end())
                responders.push_back(*it);
        // The box that gave the last list goes first: the last responder
        // changes from poll to poll, and may be the one losing power.
        if (const auto it = std::find(responders.begin(), responders.end(), listFrom); it != responders.end())
            std::rotate(responders.begin(), it, it + 1);
        std::string failure;
        if (found.failure)
            failure = found.failure->step + ": " + std::strerror(found.failure->error);
        QMetaObject::invokeMethod(
            this,
            [this, self, ticket, answered, responders, failure] {
                if (!self || stopping_)
                    return;
                if (!failure.empty())
                    Failed("poll", "workstation", "discovery", failure);
                Discovered(ticket, answered, responders);
            },
            Qt::QueuedConnection);
    });
}

void Installation::Discovered(Model::Ticket ticket, std::vector<std::string> answered,
                              std::vector<std::string> responders)
{
    std::vector<Event> events;
    model_.ApplyPresence(answered, events);
    Publish(events);
    if (answered.empty()) {
        model_.ApplyPoll(ticket, {}, {}, WallClock::now(), events);
        Publish(events);
        PollDone();
        return;
    }
    ListFrom(ticket, std::move(answered), std::move(responders));
}

void Installation::ListFrom(Model::Ticket ticket, std::vector<std::string> answered,
                            std::vector<std::string> responders)
{
    if (responders.empty()) {
        // Nobody gave a list: what answered discovery is still there.
        std::vector<Event> events;
        std::vector<Sighting> rows;
        for (const auto& address : answered)
            if (const Device* d = model_.Find(address))
                rows.push_back({d->address, d->kind, d->hostnameId, d->channel, d->multicast, d->number});
        model_.ApplyPoll(ticket, answered, rows, WallClock::now(), events);
        Publish(events);
        PollDone();
        return;
    }
    const std::string responder = responders.front();
    responders.erase(responders.begin());
    // A box that answered discovery a moment ago accepts at once or is gone:
    // the next one is asked rather than waiting out the whole time-out.
    ShellTimeouts quick = options_.timeouts;
    quick.connect = std::min(quick.connect, milliseconds(1000));
    ShellJob::Run(this, responder, options_.port, endpoint::NodeListSteps(), quick,
                  [this, ticket, answered, responders, responder](const endpoint::Result<>& result,
                                                                  const endpoint::Conversation& c) {
                      const auto list = nodes::ParseNodeList(c.transcript());
                      if (!result || !list) {
                          ListFrom(ticket, answered, responders);
                          return;
                      }
                      listFrom_ = responder;
                      std::vector<Event> events;
                      const auto unknown =
                          model_.ApplyPoll(ticket, answered, SightingsOf(*list), WallClock::now(), events);
                      Publish(events);
                      if (unknown.empty()) {
                          PollDone();
                          return;
                      }
                      // Each new or changed address: its MAC says which device it is.
                      auto left = std::make_shared<std::size_t>(unknown.size());
                      const auto rows = SightingsOf(*list);
                      for (const std::string& address : unknown) {
                          Sighting listed{address, Kind::Rx, "", "", "", std::nullopt};
                          for (const auto& r : rows)
                              if (r.address == address)
                                  listed = r;
                          ShellJob::Run(this, address, options_.port, endpoint::DetailQuerySteps(), options_.timeouts,
                                        [this, ticket, left, listed](const endpoint::Result<>& read,
                                                                     const endpoint::Conversation& c) {
                                            if (read) {
                                                const auto d = endpoint::DetailsFrom(c.transcript());
                                                const auto mac = NormalMac(Narrow(d.values.macAddress));
                                                if (mac && d.kind != endpoint::Kind::Unknown) {
                                                    Sighting seen = listed;
                                                    seen.kind = d.kind == endpoint::Kind::Tx ? Kind::Tx : Kind::Rx;
                                                    seen.channel = Narrow(d.values.channel);
                                                    seen.multicast = Narrow(d.values.multicast);
                                                    if (seen.kind == Kind::Rx)
                                                        seen.hostnameId = Narrow(d.values.hostnameId);
                                                    std::vector<Event> events;
                                                    model_.ApplyIdentity(ticket, *mac, seen, WallClock::now(), events);
                                                    Publish(events);
                                                }
                                            }
                                            if (--*left == 0)
                                                PollDone();
                                        });
                      }
                  });
}

void Installation::PollDone()
{
    polling_ = false;
    ready_ = true;
    ++polls_;
    const auto spent = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - pollStarted_);
    pollTimer_.start(static_cast<int>(std::max<long long>(0, (options_.poll - spent).count())));
}

// --- routing ------------------------------------------------------------------

Outcome Installation::Resolve(const RouteRequest& request, const Device*& rx, std::string& channel) const
{
    rx = model_.Find(request.rx);
    if (!rx)
        return {Refusal::NotFound, "", "rx: no receiver " + request.rx};
    if (rx->kind != Kind::Rx)
        return {Refusal::BadInput, "", "rx: " + request.rx + " is a transmitter"};
    if (!request.tx) {
        const auto parked = model_.UnusedChannel();
        if (!parked)
            return {Refusal::Conflict, "", "tx: every channel has a transmitter; none is free to show nothing"};
        channel = *parked;
        return {};
    }
    const Device* tx = model_.Find(*request.tx);
    if (!tx)
        return {Refusal::NotFound, "", "tx: no transmitter " + *request.tx};
    if (tx->kind != Kind::Tx)
        return {Refusal::BadInput, "", "tx: " + *request.tx + " is a receiver"};
    if (!IsChannel(tx->channel))
        return {Refusal::Conflict, "", "tx: " + *request.tx + " has no channel yet"};
    if (model_.TransmittersOn(tx->channel).size() > 1)
        return {Refusal::Conflict, "",
                "tx: channel " + tx->channel + " has more than one transmitter; a receiver on it could show either"};
    channel = tx->channel;
    return {};
}

void Installation::Send(const Job& job, std::function<void(RouteResult)> done)
{
    const std::string mac = job.rx->mac;
    std::vector<endpoint::Step> steps;
    if (job.channel)
        steps = endpoint::ConfirmedRouteSteps(*job.channel);
    if (!job.wall.empty()) {
        auto wall = endpoint::LineSteps(job.wall, "wall");
        steps.insert(steps.end(), std::make_move_iterator(wall.begin()), std::make_move_iterator(wall.end()));
    }
    const std::optional<std::string> channel = job.channel;
    const std::string asked = job.asked;
    ShellJob::Run(this, job.rx->address, options_.port, std::move(steps), options_.timeouts,
                  [this, mac, channel, done, asked](const endpoint::Result<>& result, const endpoint::Conversation&) {
                      RouteResult r{asked, {}, std::nullopt};
                      if (!result) {
                          r.outcome = {Refusal::EndpointFailed, result.error().step, result.error().detail};
                          Failed(channel ? "route" : "wall", mac, result.error().step, result.error().detail);
                          done(r);
                          return;
                      }
                      if (channel) {
                          std::vector<Event> events;
                          model_.ApplyConfirmedChannel(mac, *channel, WallClock::now(), events);
                          Publish(events);
                      }
                      r.route = model_.RouteOf(mac);
                      done(r);
                  });
}

void Installation::RouteOne(const RouteRequest& request, std::function<void(RouteResult)> done)
{
    if (!ready_) {
        done({request.rx, {Refusal::NotReady, "", "the first scan is still running"}, std::nullopt});
        return;
    }
    Job job;
    job.asked = request.rx;
    std::string channel;
    if (Outcome refused = Resolve(request, job.rx, channel); !refused.ok()) {
        done({request.rx, refused, std::nullopt});
        return;
    }
    job.channel = channel;
    Send(job, std::move(done));
}

std::vector<RouteResult> Installation::Plan(const std::vector<RouteRequest>& requests, std::vector<Job>& jobs) const
{
    std::vector<RouteResult> refused;
    std::set<std::string> seen;
    for (const auto& request : requests) {
        Job job;
        job.asked = request.rx;
        std::string channel;
        Outcome o = Resolve(request, job.rx, channel);
        if (o.ok() && !seen.insert(job.rx->mac).second)
            o = {Refusal::BadInput, "", "rx: " + request.rx + " is routed twice in one request"};
        if (!o.ok())
            refused.push_back({request.rx, o, std::nullopt});
        job.channel = channel;
        jobs.push_back(std::move(job));
    }
    return refused;
}

void Installation::RunJobs(std::vector<Job> jobs, std::function<void(std::vector<RouteResult>)> done)
{
    if (jobs.empty()) {
        done({});
        return;
    }
    auto results = std::make_shared<std::vector<RouteResult>>(jobs.size());
    auto left = std::make_shared<std::size_t>(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i)
        Send(jobs[i], [results, left, i, done](RouteResult r) {
            (*results)[i] = std::move(r);
            if (--*left == 0)
                done(std::move(*results));
        });
}

void Installation::RouteMany(const std::vector<RouteRequest>& requests,
                             std::function<void(std::vector<RouteResult>)> done)
{
    if (!ready_) {
        std::vector<RouteResult> all;
        for (const auto& r : requests)
            all.push_back({r.rx, {Refusal::NotReady, "", "the first scan is still running"}, std::nullopt});
        done(std::move(all));
        return;
    }
    // Whole or nothing: every request is checked before any goes out.
    std::vector<Job> jobs;
    if (auto refused = Plan(requests, jobs); !refused.empty()) {
        done(std::move(refused));
        return;
    }
    RunJobs(std::move(jobs), std::move(done));
}

// --- scenes -------------------------------------------------------------------

Result<Scene> Installation::Capture(const std::string& name)
{
    if (!IsSceneName(name))
        return Failure("name: letters, digits, '-', '_', '.' and inner spaces, 1 to 64 characters");
    Scene scene;
    scene.name = name;
    for (const Route& r : model_.SceneRoutes())
        scene.routes.push_back({r.rx, r.tx});
    // A wall already saved with the scene stays with it.
    if (auto existing = scenes_.Load(name); existing && *existing)
        scene.wall = (*existing)->wall;
    if (auto saved = scenes_.Save(scene); !saved)
        return Failure(saved.error());
    return scene;
}

void Installation::Recall(const std::string& name, std::function<void(Outcome, std::vector<RouteResult>)> done)
{
    if (!ready_) {
        done({Refusal::NotReady, "", "the first scan is still running"}, {});
        return;
    }
    const auto scene = scenes_.Load(name);
    if (!scene) {
        done({Refusal::StateFailed, "", scene.error()}, {});
        return;
    }
    if (!*scene) {
        done({Refusal::NotFound, "", "no scene " + name}, {});
        return;
    }
    std::vector<RouteRequest> requests;
    for (const auto& r : (*scene)->routes)
        requests.push_back({r.rx, r.tx});
    std::vector<Job> jobs;
    std::vector<RouteResult> refused = Plan(requests, jobs);
    // The wall goes with the routes: a placed receiver gets its wall lines
    // on the same session as its route, so no box hears two sessions at once.
    if ((*scene)->wall) {
        std::string error;
        const auto layout = endpoint::LayoutFromJson(*(*scene)->wall, error);
        if (!layout) {
            done({Refusal::StateFailed, "", "scene " + name + ": wall: " + error}, {});
            return;
        }
        for (const auto& p : layout->placements) {
            const std::string key = p.mac.empty() ? p.address : p.mac;
            const Device* rx = model_.Find(key);
            if (!rx || rx->kind != Kind::Rx) {
                refused.push_back({key,
                                   {rx ? Refusal::BadInput : Refusal::NotFound, "",
                                    "wall: " + key + (rx ? " is a transmitter" : ": no such receiver")},
                                   std::nullopt});
                continue;
            }
            auto lines = endpoint::PlacementLines(*layout, p);
            const auto it = std::find_if(jobs.begin(), jobs.end(), [&](const Job& j) { return j.rx == rx; });
            if (it != jobs.end()) {
                it->wall = std::move(lines);
            } else {
                jobs.push_back({rx, std::nullopt, std::move(lines), key});
            }
        }
    }
    if (!refused.empty()) {
        const Outcome first = refused.front().outcome;
        done(first, std::move(refused));
        return;
    }
    RunJobs(std::move(jobs), [this, name, done](std::vector<RouteResult> results) {
        Outcome whole;
        for (const auto& r : results)
            if (!r.outcome.ok()) {
                whole = r.outcome;
                break;
            }
        Json list = Json::array();
        for (const auto& r : results)
            list.push_back(ToJson(r));
        std::vector<Event> events{{"scene-recalled", {{"name", name}, {"ok", whole.ok()}, {"results", list}}}};
        Publish(events);
        done(whole, std::move(results));
    });
}

// --- identify -----------------------------------------------------------------

void Installation::Identify(bool on, const std::vector<std::string>& rx,
                            std::function<void(Outcome, std::vector<RouteResult>)> done)
{
    if (!ready_) {
        done({Refusal::NotReady, "", "the first scan is still running"}, {});
        return;
    }
    std::vector<const Device*> targets;
    if (rx.empty()) {
        for (const auto& [mac, d] : model_.devices())
            if (d.kind == Kind::Rx && d.online)
                targets.push_back(&d);
    } else {
        for (const auto& key : rx) {
            const Device* d = model_.Find(key);
            if (!d)
                return done({Refusal::NotFound, "", "rx: no receiver " + key}, {});
            if (d->kind != Kind::Rx)
                return done({Refusal::BadInput, "", "rx: " + key + " is a transmitter"}, {});
            if (on && !d->number)
                return done({Refusal::Conflict, "", "rx: " + key + " has no number in the node list yet"}, {});
            targets.push_back(d);
        }
    }
    auto results = std::make_shared<std::vector<RouteResult>>(targets.size());
    auto left = std::make_shared<std::size_t>(targets.size());
    if (targets.empty()) {
        done({}, {});
        return;
    }
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const Device& d = *targets[i];
        const std::u16string text =
            on ? nodes::OsdOnLine(Widen(std::to_string(d.number.value_or(0)))) : std::u16string(nodes::kOsdOff.text());
        const auto steps = endpoint::LineSteps({{nodes::WireLine{text, false, true, 0}, nodes::kShortLineBuffer}},
                                               on ? "osd on" : "osd off");
        const std::string mac = d.mac;
        ShellJob::Run(
            this, d.address, options_.port, steps, options_.timeouts,
            [this, results, left, i, mac, done, on](const endpoint::Result<>& result, const endpoint::Conversation&) {
                RouteResult r{mac, {}, std::nullopt};
                if (!result) {
                    r.outcome = {Refusal::EndpointFailed, result.error().step, result.error().detail};
                    Failed(on ? "identify on" : "identify off", mac, result.error().step, result.error().detail);
                }
                (*results)[i] = std::move(r);
                if (--*left == 0) {
                    Outcome whole;
                    for (const auto& x : *results)
                        if (!x.outcome.ok())
                            whole = x.outcome;
                    done(whole, std::move(*results));
                }
            });
    }
}

}  // namespace cv::service
