#pragma once
// A running installation: the model the poller keeps true, the routes,
// recalls and on-screen numbers clients ask for, and every event, told to
// every subscriber and kept in a ring that a client can resume from. All
// on the Qt event loop; every endpoint session goes through the gate, one
// at a time per endpoint.
#include "nodes/Firmware.h"
#include "service/EventLog.h"
#include "service/Labels.h"
#include "service/Model.h"
#include "service/Planner.h"
#include "service/Poller.h"
#include "service/Requests.h"
#include "service/Scenes.h"
#include "service/SessionGate.h"

#include <QObject>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace cv::service {

struct InstallationOptions {
    std::vector<std::string> interfaces;
    std::chrono::milliseconds poll{2000};
    unsigned short port = nodes::kShellPort;
    ShellTimeouts timeouts;
    std::string stateDir;
    // Endpoint sessions open at once, over the whole fleet.
    std::size_t maxSessions = 64;
};

class Installation : public QObject {
public:
    explicit Installation(InstallationOptions options, QObject* parent = nullptr);
    ~Installation() override;

    void Start();
    // The first poll has ended: until then the model knows nothing.
    bool ready() const { return poller_->ready(); }
    const Model& model() const { return model_; }
    const SceneStore& scenes() const { return scenes_; }
    const LabelStore& labels() const { return labels_; }
    std::size_t pollsDone() const { return poller_->pollsDone(); }
    std::chrono::milliseconds lastPollCycle() const { return poller_->lastCycle(); }
    // Empty, or what keeps the service from seeing the fleet.
    const std::string& problem() const { return poller_->problem(); }
    const SessionGate& gate() const { return gate_; }
    const EventLog& events() const { return log_; }

    using Listener = std::function<void(const LoggedEvent&)>;
    int Subscribe(Listener listener);
    void Unsubscribe(int id);
    // What a client that has missed the ring needs to start again.
    Json Snapshot() const;

    // Checks the request against the model first: a bad one sends nothing.
    // Requests for one receiver queue; the last one wins. A queued request
    // for the same source is merged into the later one (both get its
    // result); one for another source is answered "superseded".
    void RouteOne(const RouteRequest& request, std::function<void(RouteResult)> done);
    // Whole or nothing: every request is checked before any goes out.
    void RouteMany(const std::vector<RouteRequest>& requests, std::function<void(std::vector<RouteResult>)> done);
    // The scene on every display it can reach (its wall, when it has one,
    // on the same session as each route): a result per display.
    void Recall(const std::string& name, std::function<void(Outcome, std::vector<RouteResult>)> done);
    // On-screen numbers on the receivers named, or on every receiver.
    void Identify(bool on, const std::vector<std::string>& rx,
                  std::function<void(Outcome, std::vector<RouteResult>)> done);

    // State a client changes, told to every other client.
    Result<Scene> Capture(const std::string& name);
    Result<void> SaveScene(const Scene& scene);
    Result<bool> RemoveScene(const std::string& name);
    Result<void> SetLabel(const std::string& mac, const Label& label);
    Result<bool> RemoveLabel(const std::string& mac);
    // An offline device, forgotten; it comes back as new if it answers.
    Model::Forget Forget(const std::string& mac);

private:
    void Publish(std::vector<Event>& events);
    void Failed(const std::string& operation, const std::string& endpoint, const std::string& step,
                const std::string& detail);
    // A job on its endpoint's session; `done` gets the result read back.
    void RunJob(const Job& job, std::function<void(RouteResult)> done);
    void RunJobs(std::vector<Job> jobs, std::vector<RouteResult> refused,
                 std::function<void(std::vector<RouteResult>)> done);
    Outcome NotReady() const { return {Refusal::NotReady, "", "the first scan is still running"}; }

    // A route waiting for its receiver's session: the channel it sets and
    // everyone waiting for it.
    struct PendingRoute {
        Job job;
        std::vector<std::function<void(RouteResult)>> waiting;
    };

    InstallationOptions options_;
    Model model_;
    SceneStore scenes_;
    LabelStore labels_;
    SessionGate gate_;
    EventLog log_;
    std::unique_ptr<Poller> poller_;
    std::unordered_map<std::string, std::shared_ptr<PendingRoute>> pending_;  // by receiver mac
    std::map<int, Listener> listeners_;
    int nextListener_ = 1;
};

}  // namespace cv::service
