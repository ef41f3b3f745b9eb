#include "SimProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef CV_ENDPOINT_SIM_PATH
#define CV_ENDPOINT_SIM_PATH "endpoint-sim"
#endif

namespace cv::sim {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

static std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

SimProcess::SimProcess(std::vector<std::string> args) : SimProcess(std::move(args), Options{}) { }

SimProcess::SimProcess(std::vector<std::string> args, Options options) : args_(std::move(args)), options_(options) { }

SimProcess::~SimProcess()
{
    stop();
    if (!stateDir_.empty() && !options_.keepStateDir && !std::getenv("CV_KEEP_SIM_STATE")) {
        std::error_code ec;
        fs::remove_all(stateDir_, ec);
    }
}

std::string SimProcess::simulatorPath()
{
    const char* env = std::getenv("CV_ENDPOINT_SIM");
    return env && *env ? env : CV_ENDPOINT_SIM_PATH;
}

std::string SimProcess::lanNamespace()
{
    const char* env = std::getenv("CV_LAN_NS");
    return env ? env : "";
}

bool SimProcess::start(std::chrono::milliseconds timeout)
{
    error_.clear();
    if (pid_ > 0)
        return true;
    std::vector<std::string> argv;
    if (options_.inLanNamespace) {
        std::string ns = lanNamespace();
        if (ns.empty()) {
            error_ = "CV_LAN_NS is not set: run this test through scripts/testlan.sh";
            return false;
        }
        argv = {"ip", "netns", "exec", ns};
    }
    char tmpl[] = "/tmp/cv-sim-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    stateDir_ = tmpl;
    argv.push_back(simulatorPath());
    argv.insert(argv.end(), args_.begin(), args_.end());
    argv.insert(argv.end(), {"--state-dir", stateDir_, "--ready-file", stateDir_ + "/ready"});

    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(p[1], 1);
        std::vector<char*> cargv;
        for (auto& a : argv)
            cargv.push_back(const_cast<char*>(a.c_str()));
        cargv.push_back(nullptr);
        ::execvp(cargv[0], cargv.data());
        _exit(127);
    }
    ::close(p[1]);
    if (pid < 0) {
        ::close(p[0]);
        error_ = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    pid_ = pid;
    stdoutFd_ = p[0];

    std::string seen;
    auto deadline = Clock::now() + timeout;
    while (seen.find("ready\n") == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            error_ = "endpoint-sim not ready in time";
            stop();
            return false;
        }
        pollfd pfd{stdoutFd_, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[256];
        ssize_t n = ::read(stdoutFd_, buf, sizeof buf);
        if (n <= 0) {
            int st = stop();
            error_ = "endpoint-sim exited before ready (status " + std::to_string(st) + "); see its stderr";
            return false;
        }
        seen.append(buf, static_cast<size_t>(n));
    }
    return true;
}

int SimProcess::stop()
{
    if (pid_ <= 0)
        return -1;
    ::kill(pid_, SIGTERM);
    int st = 0;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    pid_t r;
    while ((r = ::waitpid(pid_, &st, WNOHANG)) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (r == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &st, 0);
    }
    pid_ = -1;
    if (stdoutFd_ >= 0)
        ::close(stdoutFd_);
    stdoutFd_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::vector<std::string> SimProcess::connectionBytes(const std::string& ip) const
{
    std::vector<std::string> out;
    for (int n = 1;; ++n) {
        std::string path = stateDir_ + "/" + ip + "/conn-" + std::to_string(n) + ".bin";
        if (!fs::exists(path))
            break;
        out.push_back(slurp(path));
    }
    return out;
}

std::string SimProcess::wireBytes(const std::string& ip) const
{
    std::string all;
    for (auto& c : connectionBytes(ip))
        all += c;
    return all;
}

std::string SimProcess::events(const std::string& ip) const { return slurp(stateDir_ + "/" + ip + "/events.log"); }

std::vector<std::string> SimProcess::eventLines(const std::string& ip) const
{
    std::vector<std::string> lines;
    std::istringstream in(events(ip));
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

std::string SimProcess::discoveryLog() const { return slurp(stateDir_ + "/discovery.log"); }

template <typename F>
static bool pollUntil(F&& done, std::chrono::milliseconds timeout)
{
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (done())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool SimProcess::waitForEvent(const std::string& ip, const std::string& text, std::chrono::milliseconds timeout) const
{
    return pollUntil([&] { return events(ip).find(text) != std::string::npos; }, timeout);
}

bool SimProcess::waitForWire(const std::string& ip, const std::string& bytes, std::chrono::milliseconds timeout) const
{
    return pollUntil([&] { return wireBytes(ip).find(bytes) != std::string::npos; }, timeout);
}

}  // namespace cv::sim
