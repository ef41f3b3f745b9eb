// Runs endpoint-sim for a test: inside the endpoints namespace of the test
// LAN ($CV_LAN_NS, set by scripts/testlan.sh), with its own state directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace cv::sim {

class SimProcess {
public:
    struct Options {
        // Run through "ip netns exec $CV_LAN_NS". Off only for loopback use.
        bool inLanNamespace = true;
        // Keep the state directory after the process ends (also when the
        // environment variable CV_KEEP_SIM_STATE is set).
        bool keepStateDir = false;
    };

    // args: simulator options without --state-dir and --ready-file.
    explicit SimProcess(std::vector<std::string> args);
    SimProcess(std::vector<std::string> args, Options options);
    ~SimProcess();  // stops the simulator and removes the state directory
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts and waits for "ready". False with error() set on failure
    // (no namespace, simulator exited, time-out). The default time-outs here
    // are bounds for "it never happens", wide enough for a sanitizer build
    // on a loaded machine; a wait that succeeds returns as soon as it can.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // SIGTERM, then wait (SIGKILL after 5 s). Returns the exit status.
    int stop();
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    const std::string& error() const { return error_; }
    const std::string& stateDir() const { return stateDir_; }

    // Every byte endpoint `ip` received, all connections concatenated in
    // connection order; and one string per connection (index 0 = conn-1).
    std::string wireBytes(const std::string& ip) const;
    std::vector<std::string> connectionBytes(const std::string& ip) const;
    // The endpoint's events log (one line per command or event).
    std::string events(const std::string& ip) const;
    std::vector<std::string> eventLines(const std::string& ip) const;
    // The discovery log: one line per query received.
    std::string discoveryLog() const;

    // Poll until the events log holds `text` / the wire log holds `bytes`.
    bool waitForEvent(const std::string& ip, const std::string& text,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    bool waitForWire(const std::string& ip, const std::string& bytes,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

    // $CV_ENDPOINT_SIM, else the path the build baked in.
    static std::string simulatorPath();
    // $CV_LAN_NS, empty outside the test LAN.
    static std::string lanNamespace();

private:
    std::vector<std::string> args_;
    Options options_;
    std::string stateDir_;
    std::string error_;
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
};

}  // namespace cv::sim
