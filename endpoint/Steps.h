#pragma once
// Each verified operation on one endpoint as a sequence of steps over a
// Conversation: what is said, what answer is awaited, and what a step's
// answer must hold for the operation to go on. No I/O: a driver feeds the
// conversation and calls Advance after every feed.
#include "endpoint/Conversation.h"
#include "endpoint/Types.h"
#include "nodes/DeviceDetails.h"
#include "nodes/NodeList.h"

#include <functional>
#include <string>
#include <vector>

namespace cv::endpoint {

struct Step {
    enum class Kind { Login, Line, SendOnly, Until, ClearTranscript };
    Kind kind = Kind::Line;
    std::string name;  // the failed step as reported: "login", "read", "send", ...
    nodes::WireLine line{};
    std::size_t buffer = nodes::kLineBuffer;
    std::chrono::milliseconds idle{0};  // 0: the conversation's own
    std::function<bool(const nodes::Transcript&)> until;
    // Put before the conversation's error when the step fails.
    std::string failPrefix;
    // A failed step that still counts as done: a dump that is complete when
    // the shell went quiet, an update script that restarts the endpoint.
    std::function<bool(const Conversation&)> fineIfFailed;
    // Looked at once the step is answered; an error stops the sequence.
    std::function<Result<>(const Conversation&)> check;
};

class Sequence {
public:
    enum class State { Running, Done, Failed };

    Sequence() = default;
    explicit Sequence(std::vector<Step> steps) : steps_(std::move(steps)) { }

    // Issues the next steps while the conversation is free; call once to
    // start and again after every feed of the conversation.
    State Advance(Conversation& conversation, Clock::time_point now);
    State state() const { return state_; }
    bool done() const { return state_ != State::Running; }
    // Done: success; failed: the step and why.
    Result<> result() const;
    // The step running now (steps().size() once done).
    std::size_t current() const { return next_ == 0 ? 0 : next_ - 1; }
    const std::vector<Step>& steps() const { return steps_; }

private:
    std::vector<Step> steps_;
    std::size_t next_ = 0;
    bool issued_ = false;
    State state_ = State::Running;
    StepError error_;
};

// --- the operations' steps ---------------------------------------------------

std::vector<Step> LoginSteps();

// The window's three query lines, then the parameter dump's end.
std::vector<Step> DetailQuerySteps();
struct Details {
    nodes::DeviceDetails values;
    Kind kind = Kind::Unknown;
};
// From a transcript the detail query completed.
Details DetailsFrom(const nodes::Transcript& transcript);
// "IS_HOST=y" on a transmitter, "n" on a receiver.
Kind KindOf(const nodes::Transcript& transcript);

std::vector<Step> NodeListSteps();

// Lines sent one at a time, each awaited; a failure is reported as `step`.
struct BufferedLine {
    nodes::WireLine line;
    std::size_t buffer = nodes::kLineBuffer;
};
// A short wall or on-screen line (nodes::ShortLine, nodes::OsdLine) in the
// short buffer it goes out of.
inline BufferedLine ShortBufferedLine(std::u16string text)
{
    return {nodes::ShortLine(std::move(text)), nodes::kShortLineBuffer};
}
inline BufferedLine OsdBufferedLine(bool on, std::u16string_view number)
{
    return {nodes::OsdLine(on, number), nodes::kShortLineBuffer};
}
std::vector<Step> LineSteps(const std::vector<BufferedLine>& lines, const std::string& step);

// The reset script (awaited) when asked, then the reboot line, which gets
// no answer: the endpoint goes down.
std::vector<Step> RestartSteps(bool factoryDefault);

// The six upgrade lines; the fetch and the update script may take
// `slowIdle`. Nothing follows a fetch the endpoint's tftp reports failed;
// an update script that restarts the endpoint under us has done its job.
// The first steps of UpgradeSteps that end with the fetch: what follows
// them changes the endpoint.
inline constexpr std::size_t kUpgradeFetchSteps = 3;
std::vector<Step> UpgradeSteps(const std::string& server, bool transmitter, const std::string& file,
                               std::chrono::milliseconds slowIdle);

// --- settings ---------------------------------------------------------------

struct SetRequest {
    std::optional<std::string> hostnameId;
    std::optional<bool> multicast;
    std::optional<std::string> channel;
    std::optional<IpMode> ipMode;
    std::string ipaddr, netmask, gateway;
    bool reboot = false;
    bool empty() const { return !hostnameId && !multicast && !channel && !ipMode; }
    // The endpoint may come back at another address after its restart.
    bool mayMove() const { return ipMode && *ipMode != IpMode::Static; }
};
// Checks values before anything is sent; the error names the field.
std::optional<std::string> ValidateRequest(const SetRequest& request);
// The lines Apply sends for the request, groups in the window's order.
std::vector<nodes::WireLine> RequestLines(const SetRequest& request);
// The route of a receiver or transmitter: the channel group alone.
std::vector<nodes::WireLine> RouteLines(const std::string& channel);

// The channel in the reply to the channel query: the line right before the
// prompt, which must read "0000" to "0099". Whatever came before it (a
// flood, binary noise) is no part of the value; nothing valid: nullopt.
std::optional<std::string> ChannelInReply(std::string_view reply);

// A route that holds: the channel group, then the channel read back on the
// same session. It is done when the endpoint itself says the channel; a
// reply with no channel in it fails as "unreadable", another channel as
// "read-back". Every front end that sets a channel and calls it confirmed
// means this.
std::vector<Step> ConfirmedRouteSteps(const std::string& channel);

struct FieldResult {
    std::string field;
    std::string requested;
    std::string readBack;
    FieldStatus status = FieldStatus::NotSent;
};
std::vector<FieldResult> RequestedFields(const SetRequest& request);
// Read-back: `all` compares everything (after a restart), otherwise only
// what takes effect at once, the rest stays pending. `address` is where
// the endpoint answered.
void Compare(std::vector<FieldResult>& fields, const Details& now, const std::string& address, bool all);

}  // namespace cv::endpoint
