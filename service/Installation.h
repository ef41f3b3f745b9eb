#pragma once
// A running installation: polls the fleet into the model, routes
// receivers, recalls scenes and tells every subscriber what happened. All
// on the Qt event loop; discovery, which must wait a second for answers,
// runs on a thread of its own, and every endpoint session is a ShellJob.
#include "nodes/Firmware.h"
#include "service/Model.h"
#include "service/Requests.h"
#include "service/Scenes.h"
#include "service/ShellJob.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace cv::service {

struct InstallationOptions {
    std::vector<std::string> interfaces;
    std::chrono::milliseconds poll{2000};
    unsigned short port = nodes::kShellPort;
    ShellTimeouts timeouts;
    std::string stateDir;
};

// Why an operation did not happen, in the terms the APIs answer with.
enum class Refusal { None, BadInput, NotFound, Conflict, EndpointFailed, NotReady, StateFailed };

struct Outcome {
    Refusal refusal = Refusal::None;
    std::string step;  // the failed step, for EndpointFailed
    std::string detail;  // in the operator's words
    bool ok() const { return refusal == Refusal::None; }
};

struct RouteResult {
    std::string rx;  // as asked
    Outcome outcome;
    std::optional<Route> route;  // as read back
};

// {"rx", "ok", "tx", "channel"} or {"rx", "ok", "step", "error"}.
Json ToJson(const RouteResult& result);

class Installation : public QObject {
public:
    explicit Installation(InstallationOptions options, QObject* parent = nullptr);
    ~Installation() override;

    void Start();
    // The first poll has ended: until then the model knows nothing.
    bool ready() const { return ready_; }
    const Model& model() const { return model_; }
    SceneStore& scenes() { return scenes_; }
    std::size_t pollsDone() const { return polls_; }

    using Listener = std::function<void(const Event&)>;
    int Subscribe(Listener listener);
    void Unsubscribe(int id);

    // Checks the request against the model first: a bad one sends nothing.
    void RouteOne(const RouteRequest& request, std::function<void(RouteResult)> done);
    void RouteMany(const std::vector<RouteRequest>& requests, std::function<void(std::vector<RouteResult>)> done);
    // The scene's routes (and its wall, when it has one) in parallel.
    void Recall(const std::string& name, std::function<void(Outcome, std::vector<RouteResult>)> done);
    Result<Scene> Capture(const std::string& name);
    // On-screen numbers on one receiver, several, or all (empty list).
    void Identify(bool on, const std::vector<std::string>& rx,
                  std::function<void(Outcome, std::vector<RouteResult>)> done);

private:
    void Poll();
    void Discovered(Model::Ticket ticket, std::vector<std::string> answered, std::vector<std::string> responders);
    void ListFrom(Model::Ticket ticket, std::vector<std::string> answered, std::vector<std::string> responders);
    void PollDone();
    void Publish(std::vector<Event>& events);
    void Failed(const std::string& operation, const std::string& endpoint, const std::string& step,
                const std::string& detail);
    // The channel a request routes to, or why it cannot.
    Outcome Resolve(const RouteRequest& request, const Device*& rx, std::string& channel) const;
    // What one receiver is told on one session: its route, its wall lines.
    struct Job {
        const Device* rx = nullptr;
        std::optional<std::string> channel;
        std::vector<endpoint::BufferedLine> wall;
        std::string asked;  // as the request named it
    };
    // The jobs of routes that all resolve, or every refusal.
    std::vector<RouteResult> Plan(const std::vector<RouteRequest>& requests, std::vector<Job>& jobs) const;
    void RunJobs(std::vector<Job> jobs, std::function<void(std::vector<RouteResult>)> done);
    void Send(const Job& job, std::function<void(RouteResult)> done);

    InstallationOptions options_;
    Model model_;
    SceneStore scenes_;
    QTimer pollTimer_;
    std::chrono::steady_clock::time_point pollStarted_{};
    std::thread discovery_;
    std::string listFrom_;  // the responder whose node list was read last
    bool ready_ = false;
    bool polling_ = false;
    bool stopping_ = false;
    std::size_t polls_ = 0;
    std::map<int, Listener> listeners_;
    int nextListener_ = 1;
};

}  // namespace cv::service
