#pragma once
// What the service will say to which receiver, decided from the model
// before anything is sent: resolving a request to a channel, planning a
// set of routes, a scene's recall, identify. Plain functions over the
// model; no Qt and no I/O, so tests and the fuzz target run them as they are.
#include "endpoint/Steps.h"
#include "service/Model.h"
#include "service/Requests.h"
#include "service/Scenes.h"

#include <optional>
#include <string>
#include <vector>

namespace cv::service {

// Why an operation did not happen, in the terms the APIs answer with.
enum class Refusal { None, BadInput, NotFound, Conflict, EndpointFailed, NotReady, StateFailed, Superseded };

struct Outcome {
    Refusal refusal = Refusal::None;
    std::string step;  // the failed step, for EndpointFailed
    std::string detail;  // in the operator's words
    bool ok() const { return refusal == Refusal::None; }
};

struct RouteResult {
    std::string rx;  // as asked
    Outcome outcome;
    std::optional<Route> route;  // as read back, or as shown when it failed
};

// {"rx", "ok", "tx", "channel"} or {"rx", "ok", "step", "error"}.
Json ToJson(const RouteResult& result);

// What one receiver is told on one session: its route, then its lines
// (a wall placement, an on-screen number).
struct Job {
    std::string rx;  // mac
    std::string address;
    std::string asked;  // as the request named it
    std::optional<std::string> channel;
    std::vector<endpoint::BufferedLine> lines;
    std::string linesStep;  // how a failed line is reported: "wall", "osd on"
    std::vector<endpoint::Step> Steps() const;
};

// The jobs to run, and the entries that failed before anything was sent.
struct Plan {
    std::vector<Job> jobs;
    std::vector<RouteResult> refused;
};

// The channel a request routes to, or why it cannot.
Outcome Resolve(const Model& model, const RouteRequest& request, const Device*& rx, std::string& channel);

// Every request checked; a receiver named twice is refused.
Plan PlanRoutes(const Model& model, const std::vector<RouteRequest>& requests);

// A scene on every display it can reach: an unknown, offline or wrong
// receiver is a refused entry, never a reason to switch nothing. A wall
// placement goes on the same session as its receiver's route. The error:
// the scene's wall cannot be read.
Result<Plan> PlanRecall(const Model& model, const Scene& scene);

// On-screen numbers on the receivers named, or on every receiver (empty):
// each that cannot show one is a refused entry.
Plan PlanIdentify(const Model& model, bool on, const std::vector<std::string>& rx);

// Results in the order of the plan's entries, refused ones first.
bool AllSucceeded(const std::vector<RouteResult>& results);

}  // namespace cv::service
