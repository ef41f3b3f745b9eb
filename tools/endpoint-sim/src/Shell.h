// One shell session on port 24: line splitting and command handling.
// No sockets here, so all of it runs in unit tests.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Fleet.h"

namespace esim {

// Cuts received bytes into lines. A line ends at LF and keeps its
// terminator; zero bytes are dropped (the tool sends some lines with one).
class LineSplitter {
public:
    static constexpr size_t kMaxLine = 4096;
    std::vector<std::string> feed(std::string_view bytes);
    const std::string& partial() const { return partial_; }

private:
    std::string partial_;
};

// tftp-hpa prints bare LF; a terminal session turns it into CR LF.
std::string toCrLf(std::string_view text);

enum class TftpMode { Real, Ok, NotFound, Timeout };

struct ShellOptions {
    TftpMode tftp = TftpMode::Real;
    std::string tftpClient = "/usr/bin/tftp";
    std::string workDir;  // per endpoint; where fetched files land
};

struct TftpJob {
    std::vector<std::string> argv;  // argv[0] is the client path
    std::string workDir;
    std::string file;  // local name of the fetched file
};

class Session {
public:
    using Log = std::function<void(const std::string&)>;
    Session(Fleet& fleet, int node, const ShellOptions& opts, Log log);

    static std::string banner() { return "\r\nast login: "; }

    void receive(std::string_view bytes, int64_t nowMs);
    std::string takeOutput();
    bool closeRequested() const { return close_; }
    bool rebootRequested() const { return reboot_; }
    bool busy() const { return job_.has_value() || jobRunning_; }
    // The loop runs the job and reports its end with tftpFinished.
    std::optional<TftpJob> takeTftpJob();
    void tftpOutput(std::string_view text) { out_ += toCrLf(text); }
    void tftpFinished(int status, int64_t nowMs);

    Endpoint& endpoint() { return fleet_.nodes[static_cast<size_t>(node_)]; }

private:
    void run(int64_t nowMs);
    void execute(const std::string& raw, int64_t nowMs);
    void command(const std::vector<std::string>& argv, const std::string& line, int64_t nowMs);
    void tftp(const std::vector<std::string>& argv);
    void prompt() { out_ += "/ # "; }
    void say(const std::string& text) { out_ += text; }
    void preamble();
    void noise();

    Fleet& fleet_;
    int node_;
    ShellOptions opts_;
    Log log_;
    LineSplitter splitter_;
    std::deque<std::string> queue_;
    std::string out_;
    bool loggedIn_ = false;
    bool close_ = false;
    bool reboot_ = false;
    bool jobRunning_ = false;
    std::optional<TftpJob> job_;
    std::string lastJobFile_;
    std::set<std::string> files_;
    int commands_ = 0;
    uint32_t noise_ = 12345;
};

}  // namespace esim
