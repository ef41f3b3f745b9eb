#include "endpoint/Conversation.h"

#include <algorithm>
#include <cstdio>

namespace cv::endpoint {

using std::chrono::milliseconds;

const char* ToString(EventKind kind)
{
    switch (kind) {
    case EventKind::EchoSeen: return "echo seen";
    case EventKind::PromptSeen: return "prompt seen";
    case EventKind::ReplyComplete: return "reply complete";
    case EventKind::TimedOut: return "timed out";
    case EventKind::Closed: return "closed";
    }
    return "?";
}

std::string Seconds(milliseconds ms)
{
    char buf[32];
    if (ms.count() % 1000 == 0)
        std::snprintf(buf, sizeof buf, "%lld s", static_cast<long long>(ms.count() / 1000));
    else
        std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ms.count()) / 1000.0);
    return buf;
}

std::string Printable(std::string_view line)
{
    std::string out;
    for (char c : line)
        if (c != '\r' && c != '\n' && c != '\0')
            out += c;
    return out;
}

std::string Narrow(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text)
        out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
    return out;
}

std::u16string Widen(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (char c : text)
        out.push_back(static_cast<unsigned char>(c));
    return out;
}

namespace {
constexpr std::size_t kMaxEvents = 64;

// Where a prompt that starts at `slash` ends, if it has arrived whole: a
// shell's prompt ends in "# ", "$ " or "> " before the cursor.
std::size_t PromptEnd(const std::string& raw, std::size_t slash)
{
    for (std::size_t i = slash + 1; i + 1 < raw.size(); ++i)
        if ((raw[i] == '#' || raw[i] == '$' || raw[i] == '>') && raw[i + 1] == ' ')
            return i + 2;
    return std::string::npos;
}
}  // namespace

void Conversation::ClearTranscript()
{
    raw_.clear();
    transcript_.clear();
    cursor_ = 0;
    lastOutput_.clear();
    lastSlash_ = lastNewline_ = std::string::npos;
    echoFrom_ = promptFrom_ = 0;
}

std::string Conversation::TakeOutgoing()
{
    std::string out;
    out.swap(outgoing_);
    return out;
}

std::optional<Event> Conversation::NextEvent()
{
    if (events_.empty())
        return std::nullopt;
    Event e = std::move(events_.front());
    events_.pop_front();
    return e;
}

void Conversation::Emit(EventKind kind, std::string detail)
{
    if (events_.size() >= kMaxEvents)
        events_.pop_front();  // a driver that does not look needs none of them
    events_.push_back({kind, std::move(detail)});
}

void Conversation::Fail(EventKind kind, std::string error)
{
    waiting_ = Waiting::Nothing;
    failed_ = true;
    error_ = std::move(error);
    Emit(kind, error_);
}

void Conversation::Await(std::string echo, std::string what, Clock::time_point now, milliseconds idle)
{
    waiting_ = Waiting::Reply;
    failed_ = false;
    error_.clear();
    echo_ = std::move(echo);
    what_ = std::move(what);
    waitIdle_ = idle.count() > 0 ? idle : idle_;
    echoEnd_.reset();
    promptAt_.reset();
    echoFrom_ = cursor_;
    quietPrompt_ = false;
    lastByte_ = now;
    if (closed_) {
        Fail(EventKind::Closed, "connection closed by the endpoint (waiting for '" + what_ + "')");
        return;
    }
    Look(now);
}

void Conversation::Login(Clock::time_point now)
{
    outgoing_ += nodes::kLogin.bytes();
    Await("root", "login", now, idle_);
}

tl::expected<void, std::string> Conversation::Run(const nodes::WireLine& line, std::size_t buffer,
                                                  Clock::time_point now, milliseconds idle)
{
    const std::string text = Printable(Narrow(line.text));
    const auto bytes = nodes::WireBytes(line, buffer);
    if (!bytes) {
        failed_ = true;
        error_ = "line does not fit its " + std::to_string(buffer) + "-byte buffer: " + text;
        return tl::unexpected(error_);
    }
    if (!closed_)
        outgoing_ += *bytes;
    Await(text, text, now, idle);
    return {};
}

tl::expected<void, std::string> Conversation::SendOnly(const nodes::WireLine& line, std::size_t buffer)
{
    const auto bytes = nodes::WireBytes(line, buffer);
    if (!bytes) {
        failed_ = true;
        error_ = "line does not fit its " + std::to_string(buffer) + "-byte buffer: " + Printable(Narrow(line.text));
        return tl::unexpected(error_);
    }
    if (closed_) {
        failed_ = true;
        error_ = "connection closed by the endpoint";
        return tl::unexpected(error_);
    }
    outgoing_ += *bytes;
    failed_ = false;
    error_.clear();
    return {};
}

void Conversation::Until(std::function<bool(const nodes::Transcript&)> done, Clock::time_point now, milliseconds idle)
{
    waiting_ = Waiting::Condition;
    failed_ = false;
    error_.clear();
    done_ = std::move(done);
    waitIdle_ = idle.count() > 0 ? idle : idle_;
    quietPrompt_ = false;
    lastByte_ = now;
    if (done_(transcript_)) {
        waiting_ = Waiting::Nothing;
        Emit(EventKind::ReplyComplete, {});
        return;
    }
    if (closed_)
        Fail(EventKind::Closed, "connection closed by the endpoint");
}

void Conversation::Receive(std::string_view bytes, Clock::time_point now)
{
    std::string piece;
    piece.reserve(bytes.size());
    // Zero bytes would end the text for a C reader; the parsers do not
    // need them.
    for (char c : bytes)
        if (c != '\0')
            piece.push_back(c);
    if (piece.empty())
        return;
    // Where the last "/" and the last line end are: a flood of text must not
    // be searched again from its start on every arrival.
    const std::size_t base = raw_.size();
    for (std::size_t i = 0; i < piece.size(); ++i) {
        if (piece[i] == '/')
            lastSlash_ = base + i;
        else if (piece[i] == '\n')
            lastNewline_ = base + i;
    }
    raw_ += piece;
    transcript_.append(Widen(piece));
    lastByte_ = now;
    Look(now);
}

void Conversation::PeerClosed(std::string why)
{
    if (closed_)
        return;
    closed_ = true;
    if (waiting_ == Waiting::Reply)
        Fail(EventKind::Closed, why + " (waiting for '" + what_ + "')");
    else if (waiting_ == Waiting::Condition)
        Fail(EventKind::Closed, why);
    else
        Emit(EventKind::Closed, why);
}

void Conversation::Look(Clock::time_point)
{
    if (waiting_ == Waiting::Condition) {
        if (done_(transcript_)) {
            waiting_ = Waiting::Nothing;
            Emit(EventKind::ReplyComplete, {});
        }
        return;
    }
    if (waiting_ != Waiting::Reply)
        return;
    if (!echoEnd_) {
        const std::size_t at = raw_.find(echo_, echoFrom_);
        if (at == std::string::npos) {
            // Only a match that reaches into what comes next is still possible.
            if (raw_.size() + 1 > echo_.size())
                echoFrom_ = std::max(echoFrom_, raw_.size() + 1 - echo_.size());
            return;
        }
        echoEnd_ = at + echo_.size();
        promptFrom_ = *echoEnd_;
        Emit(EventKind::EchoSeen, what_);
    }
    const std::size_t after = *echoEnd_;
    // The prompt starts a line. A "/" line that ends was output (a path),
    // not the prompt; one still open is the prompt once it ends as a
    // shell's does, or once the stream is quiet.
    for (std::size_t from = std::max(after, promptFrom_);;) {
        const std::size_t p = raw_.find("\n/", from);
        if (p == std::string::npos) {
            // A line end at the very end may yet be followed by the "/".
            promptFrom_ = std::max(from, raw_.empty() ? 0 : raw_.size() - 1);
            break;
        }
        promptFrom_ = p;
        const std::size_t slash = p + 1;
        const std::size_t lineEnd = raw_.find('\n', slash);
        if (lineEnd != std::string::npos) {
            from = lineEnd;
            continue;
        }
        if (promptAt_ != slash) {
            promptAt_ = slash;
            Emit(EventKind::PromptSeen, what_);
        }
        const std::size_t end = PromptEnd(raw_, slash);
        if (end != std::string::npos) {
            Complete(after, slash, end);
            return;
        }
        quietPrompt_ = true;
        return;
    }
    // A prompt after output that did not end its last line has no line
    // start before it: a "/" that is the last thing the shell printed
    // counts once the stream is quiet.
    const std::size_t slash = lastSlash_;
    if (slash != std::string::npos && slash >= after && (lastNewline_ == std::string::npos || lastNewline_ < slash)) {
        if (promptAt_ != slash) {
            promptAt_ = slash;
            Emit(EventKind::PromptSeen, what_);
        }
        quietPrompt_ = true;
    } else {
        promptAt_.reset();
        quietPrompt_ = false;
    }
}

void Conversation::Complete(std::size_t outputFrom, std::size_t promptAt, std::size_t end)
{
    std::size_t start = outputFrom;
    while (start < promptAt && (raw_[start] == '\r' || raw_[start] == '\n'))
        ++start;
    lastOutput_ = raw_.substr(start, promptAt - start);
    cursor_ = end;
    waiting_ = Waiting::Nothing;
    quietPrompt_ = false;
    Emit(EventKind::ReplyComplete, what_);
}

std::optional<Clock::time_point> Conversation::Timer() const
{
    if (waiting_ == Waiting::Nothing)
        return std::nullopt;
    const Clock::time_point idleEnd = lastByte_ + waitIdle_;
    if (quietPrompt_)
        return std::min(idleEnd, lastByte_ + kPromptQuiet);
    return idleEnd;
}

void Conversation::OnTimer(Clock::time_point now)
{
    if (waiting_ == Waiting::Nothing)
        return;
    if (waiting_ == Waiting::Reply && quietPrompt_ && now >= lastByte_ + kPromptQuiet) {
        Complete(*echoEnd_, *promptAt_, raw_.size());
        return;
    }
    if (now < lastByte_ + waitIdle_)
        return;
    if (waiting_ == Waiting::Condition)
        Fail(EventKind::TimedOut, "the reply stayed incomplete for " + Seconds(waitIdle_));
    else
        Fail(EventKind::TimedOut,
             "no " + std::string(echoEnd_ ? "prompt after" : "echo of") + " '" + what_ + "' within " +
                 Seconds(waitIdle_));
}

}  // namespace cv::endpoint
