#pragma once
// A command session to an endpoint's shell on TCP port 24 that, unlike the
// window's, waits for what the shell answers: the echo of each line and the
// prompt ("/" at the start of a line) after its output. Blocking, with
// time-outs (poll); one session per thread.
#include "nodes/Operations.h"
#include "nodes/Transcript.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace cv::cli {

struct Timeouts {
    std::chrono::milliseconds connect{3000};
    // Longest silence while waiting for a reply; a slow answer that keeps
    // arriving is waited for.
    std::chrono::milliseconds reply{5000};
};

class ShellSession {
public:
    ShellSession(std::string address, unsigned short port, Timeouts timeouts);
    ~ShellSession();
    ShellSession(const ShellSession&) = delete;
    ShellSession& operator=(const ShellSession&) = delete;

    // Connects and sends the login line, waiting for the prompt after it.
    bool Open();
    // Sends one line as the window does (its buffer, its zero byte) and waits
    // for its echo and the prompt after it; idle 0 means timeouts.reply.
    bool Run(const nodes::WireLine& line, std::size_t buffer = nodes::kLineBuffer,
             std::chrono::milliseconds idle = std::chrono::milliseconds{0});
    // Keeps reading until done() holds, while text keeps arriving.
    bool ReadUntil(const std::function<bool()>& done, std::chrono::milliseconds idle = std::chrono::milliseconds{0});
    // Sends bytes and does not wait (a reboot does not answer).
    bool Send(std::string_view bytes);
    // True once the endpoint has closed the connection within `timeout`.
    bool WaitClosed(std::chrono::milliseconds timeout);
    void Close();

    bool open() const { return fd_ >= 0; }
    // The last Open got as far as a connection (a later failure is the login's).
    bool connected() const { return connected_; }
    // The endpoint closed or reset the connection.
    bool peerClosed() const { return peerClosed_; }
    int fd() const { return fd_; }
    const std::string& address() const { return address_; }
    // Why the last call failed, in words for the operator.
    const std::string& error() const { return error_; }
    // Everything received since the last ClearTranscript, zero bytes dropped,
    // as the parsers read it (each byte one character).
    const nodes::Transcript& transcript() const { return transcript_; }
    const std::string& received() const { return raw_; }
    // What the last Run's command printed between its echo and the prompt.
    const std::string& lastOutput() const { return lastOutput_; }
    void ClearTranscript();

private:
    bool Connect();
    bool SendAll(std::string_view bytes);
    // Reads what is there, waiting up to `wait`; false on close or error.
    bool ReadSome(std::chrono::milliseconds wait);
    bool WaitForEcho(std::string_view echo, std::chrono::milliseconds idle, const std::string& what);

    std::string address_;
    unsigned short port_;
    Timeouts timeouts_;
    int fd_ = -1;
    bool peerClosed_ = false;
    bool connected_ = false;
    std::string raw_;
    std::size_t cursor_ = 0;  // where the next echo is looked for
    nodes::Transcript transcript_;
    std::string lastOutput_;
    std::string error_;
};

// Each character of parser text back to its byte (the transcript holds one
// character per received byte).
std::string Narrow(std::u16string_view text);
std::u16string Widen(std::string_view text);
// "5 s", "1.5 s"
std::string Seconds(std::chrono::milliseconds ms);

}  // namespace cv::cli
