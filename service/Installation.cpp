#include "service/Installation.h"

#include <QDebug>

#include <algorithm>

namespace cv::service {

namespace {

std::uint64_t FirstEventId()
{
    // Milliseconds since the epoch, times a thousand: ids keep rising over
    // a restart, and stay exact in a JSON number for centuries.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(WallClock::now().time_since_epoch()).count();
    return static_cast<std::uint64_t>(std::max<long long>(1, ms)) * 1000;
}

}  // namespace

Installation::Installation(InstallationOptions options, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      scenes_(options_.stateDir),
      labels_(options_.stateDir),
      gate_(options_.port, options_.maxSessions),
      log_(FirstEventId())
{
    PollOptions poll;
    poll.interfaces = options_.interfaces;
    poll.poll = options_.poll;
    poll.timeouts = options_.timeouts;
    poller_ = std::make_unique<Poller>(poll, model_, gate_, [this](std::vector<Event>& events) { Publish(events); });
}

Installation::~Installation() = default;

void Installation::Start() { poller_->Start(); }

int Installation::Subscribe(Listener listener)
{
    const int id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return id;
}

void Installation::Unsubscribe(int id) { listeners_.erase(id); }

void Installation::Publish(std::vector<Event>& events)
{
    for (Event& e : events) {
        const LoggedEvent& logged = log_.Append(std::move(e));
        // A listener may unsubscribe (its client went) while we tell it.
        const auto copy = listeners_;
        for (const auto& [id, listener] : copy)
            if (listeners_.count(id))
                listener(logged);
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

Json Installation::Snapshot() const
{
    Json devices = Json::array(), routes = Json::array(), conflicts = Json::array(), scenes = Json::array();
    for (const auto& [mac, d] : model_.devices())
        devices.push_back(ToJson(d));
    for (const auto& r : model_.Routes())
        routes.push_back(ToJson(r));
    for (const auto& c : model_.Conflicts())
        conflicts.push_back(ToJson(c));
    if (const auto names = scenes_.Names())
        for (const auto& name : *names)
            if (auto scene = scenes_.Load(name); scene && *scene)
                scenes.push_back(ToJson(**scene));
    Json labels = Json::object();
    if (const auto all = labels_.All())
        for (const auto& [mac, label] : *all)
            labels[mac] = label;
    Json rooms = Json::object();
    if (const auto all = labels_.Rooms())
        for (const auto& [mac, room] : *all)
            rooms[mac] = room;
    return {{"devices", devices}, {"routes", routes}, {"conflicts", conflicts}, {"scenes", scenes},
            {"labels", labels},   {"rooms", rooms},   {"ready", ready()}};
}

// --- sessions -----------------------------------------------------------------

void Installation::RunJob(const Job& job, std::function<void(RouteResult)> done)
{
    const std::string mac = job.rx;
    const std::optional<std::string> channel = job.channel;
    const std::string asked = job.asked;
    const std::string operation = channel ? "route" : job.linesStep;
    gate_.Run(
        job.address, job.Steps(), options_.timeouts,
        [this, mac, channel, asked, operation, done](const endpoint::Result<>& result, const endpoint::Conversation&) {
            RouteResult r{asked, {}, std::nullopt};
            if (!result) {
                r.outcome = {Refusal::EndpointFailed, result.error().step, result.error().detail};
                Failed(operation, mac, result.error().step, result.error().detail);
            } else if (channel) {
                std::vector<Event> events;
                model_.ApplyConfirmedChannel(mac, *channel, WallClock::now(), events);
                Publish(events);
            }
            r.route = model_.RouteOf(mac);
            done(std::move(r));
        });
}

void Installation::RunJobs(std::vector<Job> jobs, std::vector<RouteResult> refused,
                           std::function<void(std::vector<RouteResult>)> done)
{
    if (jobs.empty()) {
        done(std::move(refused));
        return;
    }
    const std::size_t first = refused.size();
    auto results = std::make_shared<std::vector<RouteResult>>(std::move(refused));
    results->resize(first + jobs.size());
    auto left = std::make_shared<std::size_t>(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i)
        RunJob(jobs[i], [results, left, i, first, done](RouteResult r) {
            (*results)[first + i] = std::move(r);
            if (--*left == 0)
                done(std::move(*results));
        });
}

// --- routing ------------------------------------------------------------------

void Installation::RouteOne(const RouteRequest& request, std::function<void(RouteResult)> done)
{
    if (!ready())
        return done({request.rx, NotReady(), std::nullopt});
    Plan plan = PlanRoutes(model_, {request});
    if (!plan.refused.empty())
        return done(std::move(plan.refused.front()));
    Job job = std::move(plan.jobs.front());
    const std::string mac = job.rx;

    // Last wins: a route still waiting for this receiver's session is
    // merged (same channel) or answered "superseded" (another).
    if (const auto it = pending_.find(mac); it != pending_.end()) {
        PendingRoute& waiting = *it->second;
        if (waiting.job.channel != job.channel) {
            const auto shown = model_.RouteOf(mac);
            for (auto& w : waiting.waiting)
                w({waiting.job.asked,
                   {Refusal::Superseded, "superseded", "a later route for this receiver was asked before this one ran"},
                   shown});
            waiting.waiting.clear();
            waiting.job = std::move(job);
        }
        waiting.waiting.push_back(std::move(done));
        return;
    }
    auto pending = std::make_shared<PendingRoute>();
    pending->job = std::move(job);
    pending->waiting.push_back(std::move(done));
    pending_[mac] = pending;
    const std::string address = pending->job.address;
    gate_.Enqueue(address, [this, mac, pending](std::function<void()> finished) {
        // From here on it runs: a later request waits for the next session.
        if (const auto it = pending_.find(mac); it != pending_.end() && it->second == pending)
            pending_.erase(it);
        const std::string address = pending->job.address;
        const auto channel = pending->job.channel;
        ShellJob::Run(
            this, address, gate_.port(), pending->job.Steps(), options_.timeouts,
            [this, mac, channel, pending, finished](const endpoint::Result<>& result, const endpoint::Conversation&) {
                finished();
                Outcome outcome;
                if (!result) {
                    outcome = {Refusal::EndpointFailed, result.error().step, result.error().detail};
                    Failed("route", mac, result.error().step, result.error().detail);
                } else if (channel) {
                    std::vector<Event> events;
                    model_.ApplyConfirmedChannel(mac, *channel, WallClock::now(), events);
                    Publish(events);
                }
                const auto route = model_.RouteOf(mac);
                for (auto& w : pending->waiting)
                    w({pending->job.asked, outcome, route});
            });
    });
}

void Installation::RouteMany(const std::vector<RouteRequest>& requests,
                             std::function<void(std::vector<RouteResult>)> done)
{
    if (!ready()) {
        std::vector<RouteResult> all;
        for (const auto& r : requests)
            all.push_back({r.rx, NotReady(), std::nullopt});
        return done(std::move(all));
    }
    Plan plan = PlanRoutes(model_, requests);
    if (!plan.refused.empty())
        return done(std::move(plan.refused));
    RunJobs(std::move(plan.jobs), {}, std::move(done));
}

// --- scenes and labels --------------------------------------------------------

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
    if (auto saved = SaveScene(scene); !saved)
        return Failure(saved.error());
    return scene;
}

Result<void> Installation::SaveScene(const Scene& scene)
{
    if (auto saved = scenes_.Save(scene); !saved)
        return saved;
    std::vector<Event> events{{"scene-saved", ToJson(scene)}};
    Publish(events);
    return {};
}

Result<bool> Installation::RemoveScene(const std::string& name)
{
    auto removed = scenes_.Remove(name);
    if (removed && *removed) {
        std::vector<Event> events{{"scene-deleted", {{"name", name}}}};
        Publish(events);
    }
    return removed;
}

Result<void> Installation::SetLabel(const std::string& mac, const Label& label)
{
    if (auto saved = labels_.Set(mac, label.label, label.room); !saved)
        return saved;
    std::vector<Event> events{
        {"label",
         {{"mac", mac}, {"label", label.label}, {"room", label.room.empty() ? Json(nullptr) : Json(label.room)}}}};
    Publish(events);
    return {};
}

Result<bool> Installation::RemoveLabel(const std::string& mac)
{
    auto removed = labels_.Remove(mac);
    if (removed && *removed) {
        std::vector<Event> events{{"label", {{"mac", mac}, {"label", nullptr}, {"room", nullptr}}}};
        Publish(events);
    }
    return removed;
}

Model::Forget Installation::Forget(const std::string& mac)
{
    std::vector<Event> events;
    const auto forgotten = model_.ApplyForget(mac, events);
    Publish(events);
    return forgotten;
}

void Installation::Recall(const std::string& name, std::function<void(Outcome, std::vector<RouteResult>)> done)
{
    if (!ready())
        return done(NotReady(), {});
    const auto scene = scenes_.Load(name);
    if (!scene)
        return done({Refusal::StateFailed, "", scene.error()}, {});
    if (!*scene)
        return done({Refusal::NotFound, "", "no scene " + name}, {});
    auto plan = PlanRecall(model_, **scene);
    if (!plan)
        return done({Refusal::StateFailed, "", plan.error()}, {});
    RunJobs(std::move(plan->jobs), std::move(plan->refused), [this, name, done](std::vector<RouteResult> results) {
        Outcome whole;
        std::size_t failed = 0;
        for (const auto& r : results)
            if (!r.outcome.ok() && ++failed == 1)
                whole = r.outcome;
        if (failed)
            whole.detail = std::to_string(failed) + " of " + std::to_string(results.size()) +
                " displays failed; first: " + whole.detail;
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
    if (!ready())
        return done(NotReady(), {});
    Plan plan = PlanIdentify(model_, on, rx);
    RunJobs(std::move(plan.jobs), std::move(plan.refused), [done](std::vector<RouteResult> results) {
        Outcome whole;
        for (const auto& r : results)
            if (!r.outcome.ok()) {
                whole = r.outcome;
                break;
            }
        done(whole, std::move(results));
    });
}

}  // namespace cv::service
