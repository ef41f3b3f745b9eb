#pragma once
// One shell conversation with an endpoint, with no I/O of its own: bytes
// received go in, bytes to send and events come out. Whoever owns the
// socket (a poll loop, an event loop) moves the bytes and tells the time.
//
// Each request (the login, one line, a wait for a condition on the
// transcript) is answered when the shell has echoed the line and its
// prompt has followed, whole. TCP may cut the reply anywhere: the echo, the
// output and the prompt are only looked at in what has arrived so far, and
// nothing is decided on half a prompt.
#include "nodes/Operations.h"
#include "nodes/Transcript.h"

#include <tl/expected.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace cv::endpoint {

using Clock = std::chrono::steady_clock;

enum class EventKind {
    EchoSeen,  // the shell echoed the line
    PromptSeen,  // the "/" that starts the prompt after the output
    ReplyComplete,  // the prompt is whole: the next line may go
    TimedOut,  // nothing more arrived within the idle time
    Closed,  // the endpoint closed or reset the connection
};
const char* ToString(EventKind kind);

struct Event {
    EventKind kind;
    std::string detail;  // the line's text, or why it failed
};

class Conversation {
public:
    // A prompt that follows an unfinished line, or whose end does not look
    // like a shell's, counts once the stream has been quiet this long.
    static constexpr std::chrono::milliseconds kPromptQuiet{200};
    static constexpr std::chrono::milliseconds kDefaultIdle{5000};

    explicit Conversation(std::chrono::milliseconds idle = kDefaultIdle) : idle_(idle) { }

    // --- requests; one at a time -------------------------------------------
    // The login line, answered by its echo and the prompt.
    void Login(Clock::time_point now);
    // One line through the one encoder (nodes::WireBytes), answered by its
    // echo and the prompt after its output. idle 0: the conversation's own.
    // Fails at once, sending nothing, when the line does not fit.
    tl::expected<void, std::string> Run(const nodes::WireLine& line, std::size_t buffer, Clock::time_point now,
                                        std::chrono::milliseconds idle = std::chrono::milliseconds{0});
    // Bytes that get no answer (a reboot): queued, nothing awaited.
    tl::expected<void, std::string> SendOnly(const nodes::WireLine& line, std::size_t buffer = nodes::kLineBuffer);
    // Answered once done(transcript) holds, while text keeps arriving.
    void Until(std::function<bool(const nodes::Transcript&)> done, Clock::time_point now,
               std::chrono::milliseconds idle = std::chrono::milliseconds{0});

    // --- what the driver feeds ----------------------------------------------
    void Receive(std::string_view bytes, Clock::time_point now);
    // The connection ended; why, in the operator's words.
    void PeerClosed(std::string why = "connection closed by the endpoint");
    // Call at Timer() or later.
    void OnTimer(Clock::time_point now);

    // --- what the driver takes ----------------------------------------------
    std::string TakeOutgoing();
    bool hasOutgoing() const { return !outgoing_.empty(); }
    // When OnTimer is due, if at all.
    std::optional<Clock::time_point> Timer() const;
    std::optional<Event> NextEvent();

    // --- state ----------------------------------------------------------------
    // A request is waiting for its answer.
    bool busy() const { return waiting_ != Waiting::Nothing; }
    // The last request was answered; false after a failure.
    bool ok() const { return !failed_; }
    bool closed() const { return closed_; }
    // Why the last request failed.
    const std::string& error() const { return error_; }
    // Everything received since ClearTranscript, zero bytes dropped; the
    // transcript holds the same, one character per byte, for the parsers.
    const std::string& received() const { return raw_; }
    const nodes::Transcript& transcript() const { return transcript_; }
    // What the last line's command printed between its echo and the prompt.
    const std::string& lastOutput() const { return lastOutput_; }
    void ClearTranscript();

private:
    enum class Waiting { Nothing, Reply, Condition };
    void Await(std::string echo, std::string what, Clock::time_point now, std::chrono::milliseconds idle);
    void Look(Clock::time_point now);
    void Complete(std::size_t outputFrom, std::size_t promptAt, std::size_t end);
    void Fail(EventKind kind, std::string error);
    void Emit(EventKind kind, std::string detail);

    std::chrono::milliseconds idle_;
    std::string outgoing_;
    std::deque<Event> events_;

    std::string raw_;
    nodes::Transcript transcript_;
    std::size_t cursor_ = 0;  // where the next echo is looked for
    std::string lastOutput_;

    Waiting waiting_ = Waiting::Nothing;
    std::string echo_, what_;
    std::function<bool(const nodes::Transcript&)> done_;
    std::chrono::milliseconds waitIdle_{0};
    std::optional<std::size_t> echoEnd_;  // just past the echo, once seen
    std::optional<std::size_t> promptAt_;  // the prompt's "/", once seen
    std::size_t echoFrom_ = 0;  // where the echo search goes on
    std::size_t promptFrom_ = 0;  // where the prompt search goes on
    std::size_t lastSlash_ = std::string::npos;  // in raw_
    std::size_t lastNewline_ = std::string::npos;  // in raw_
    Clock::time_point lastByte_{};  // last arrival (or the request)
    bool quietPrompt_ = false;  // a prompt waits for the quiet time

    bool failed_ = false;
    bool closed_ = false;
    std::string error_;
};

// "5 s", "1.5 s"
std::string Seconds(std::chrono::milliseconds ms);
// A line as the operator reads it: no CR, LF or zero byte.
std::string Printable(std::string_view line);
// Each character of parser text back to its byte, and the other way.
std::string Narrow(std::u16string_view text);
std::u16string Widen(std::string_view text);

}  // namespace cv::endpoint
