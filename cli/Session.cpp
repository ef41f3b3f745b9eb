#include "cli/Session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cv::cli {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

std::string Seconds(milliseconds ms)
{
    char buf[32];
    if (ms.count() % 1000 == 0)
        std::snprintf(buf, sizeof buf, "%lld s", static_cast<long long>(ms.count() / 1000));
    else
        std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ms.count()) / 1000.0);
    return buf;
}

namespace {
std::string Printable(std::string_view line)
{
    std::string out;
    for (char c : line) {
        if (c == '\r' || c == '\n' || c == '\0')
            continue;
        out += c;
    }
    return out;
}

int LeftMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}
}  // namespace

ShellSession::ShellSession(std::string address, unsigned short port, Timeouts timeouts)
    : address_(std::move(address)), port_(port), timeouts_(timeouts)
{
}

ShellSession::~ShellSession() { Close(); }

void ShellSession::Close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void ShellSession::ClearTranscript()
{
    raw_.clear();
    cursor_ = 0;
    transcript_.clear();
    lastOutput_.clear();
}

bool ShellSession::Connect()
{
    Close();
    peerClosed_ = false;
    connected_ = false;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port_);
    if (::inet_pton(AF_INET, address_.c_str(), &peer.sin_addr) != 1) {
        error_ = "not an IPv4 address";
        return false;
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        if (errno != EINPROGRESS) {
            error_ = std::strerror(errno);
            Close();
            return false;
        }
        const auto deadline = Clock::now() + timeouts_.connect;
        for (;;) {
            pollfd p{fd_, POLLOUT, 0};
            const int r = ::poll(&p, 1, LeftMs(deadline));
            if (r < 0 && errno == EINTR)
                continue;
            if (r == 0) {
                error_ = "no answer within " + Seconds(timeouts_.connect);
                Close();
                return false;
            }
            break;
        }
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            error_ = std::strerror(err);
            Close();
            return false;
        }
    }
    connected_ = true;
    return true;
}

bool ShellSession::Open()
{
    ClearTranscript();
    if (!Connect())
        return false;
    // The login line needs no conversion: it is sent from its own bytes.
    if (!SendAll(nodes::kLogin.bytes()))
        return false;
    return WaitForEcho("root", timeouts_.reply, "login");
}

bool ShellSession::SendAll(std::string_view bytes)
{
    if (fd_ < 0) {
        error_ = "not connected";
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, static_cast<int>(timeouts_.reply.count())) <= 0) {
                error_ = "send: the endpoint takes nothing more";
                return false;
            }
            continue;
        }
        error_ = std::string("send: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool ShellSession::Send(std::string_view bytes) { return SendAll(bytes); }

bool ShellSession::ReadSome(milliseconds wait)
{
    if (fd_ < 0 || peerClosed_) {
        error_ = "connection closed by the endpoint";
        return false;
    }
    pollfd p{fd_, POLLIN, 0};
    int r;
    do
        r = ::poll(&p, 1, static_cast<int>(wait.count()));
    while (r < 0 && errno == EINTR);
    if (r == 0)
        return true;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
        std::string piece;
        piece.reserve(static_cast<std::size_t>(n));
        // Zero bytes would end the text for a C reader; the parsers do not
        // need them.
        for (ssize_t i = 0; i < n; ++i)
            if (buf[i] != '\0')
                piece.push_back(buf[i]);
        raw_ += piece;
        transcript_.append(Widen(piece));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    peerClosed_ = true;
    error_ = n == 0 ? "connection closed by the endpoint"
                    : std::string("connection lost: ") + std::strerror(errno);
    return false;
}

bool ShellSession::WaitForEcho(std::string_view echo, milliseconds idle, const std::string& what)
{
    // A prompt after output that did not end its last line has no line
    // start before it; a "/" that is the last thing the shell printed, with
    // the stream quiet for a moment, counts as the prompt too.
    constexpr milliseconds kPromptQuiet{200};
    auto deadline = Clock::now() + idle;
    std::size_t seen = raw_.size();
    const auto finish = [&](std::size_t after, std::size_t slash) {
        std::size_t start = after;
        while (start < slash && (raw_[start] == '\r' || raw_[start] == '\n'))
            ++start;
        lastOutput_ = raw_.substr(start, slash - start);
        cursor_ = slash + 1;
        return true;
    };
    for (;;) {
        const std::size_t at = raw_.find(echo, cursor_);
        std::size_t lastSlash = std::string::npos;
        if (at != std::string::npos) {
            const std::size_t after = at + echo.size();
            const std::size_t prompt = raw_.find("\n/", after);
            if (prompt != std::string::npos)
                return finish(after, prompt + 1);
            const std::size_t slash = raw_.rfind('/');
            if (slash != std::string::npos && slash >= after && raw_.find('\n', slash) == std::string::npos)
                lastSlash = slash;
        }
        const int left = LeftMs(deadline);
        if (left == 0) {
            error_ = "no " + std::string(at == std::string::npos ? "echo of" : "prompt after") + " '" + what +
                     "' within " + Seconds(idle);
            return false;
        }
        const milliseconds wait = lastSlash != std::string::npos ? std::min(kPromptQuiet, milliseconds(left))
                                                                 : milliseconds(left);
        if (!ReadSome(wait)) {
            error_ += " (waiting for '" + what + "')";
            return false;
        }
        if (raw_.size() != seen) {
            seen = raw_.size();
            deadline = Clock::now() + idle;
        } else if (lastSlash != std::string::npos) {
            return finish(at + echo.size(), lastSlash);
        }
    }
}

bool ShellSession::Run(const nodes::WireLine& line, std::size_t buffer, milliseconds idle)
{
    const auto bytes = nodes::WireBytes(line, buffer);
    const std::string text = Printable(Narrow(line.text));
    if (!bytes) {
        error_ = "line does not fit its " + std::to_string(buffer) + "-byte buffer: " + text;
        return false;
    }
    if (!SendAll(*bytes))
        return false;
    return WaitForEcho(text, idle.count() > 0 ? idle : timeouts_.reply, text);
}

bool ShellSession::ReadUntil(const std::function<bool()>& done, milliseconds idle)
{
    if (idle.count() <= 0)
        idle = timeouts_.reply;
    auto deadline = Clock::now() + idle;
    std::size_t seen = raw_.size();
    while (!done()) {
        const int left = LeftMs(deadline);
        if (left == 0) {
            error_ = "the reply stayed incomplete for " + Seconds(idle);
            return false;
        }
        if (!ReadSome(milliseconds(left)))
            return false;
        if (raw_.size() != seen) {
            seen = raw_.size();
            deadline = Clock::now() + idle;
        }
    }
    return true;
}

bool ShellSession::WaitClosed(milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!peerClosed_) {
        const int left = LeftMs(deadline);
        if (left == 0)
            return false;
        if (!ReadSome(milliseconds(left)))
            break;
    }
    Close();
    return true;
}

}  // namespace cv::cli
