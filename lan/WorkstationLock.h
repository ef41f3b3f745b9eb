#pragma once
// A lock that every Cortavia program on this workstation honours: the
// window, cortavia-cli and cortaviad take discovery rounds in turn through
// it, and a plan takes one per endpoint it changes.
//
// It is an abstract Unix socket name. Such a name needs no file, so no
// permission, private /tmp or file left behind by a crash can defeat it;
// it belongs to the network namespace, which is the reach of discovery;
// and the kernel frees it the moment its holder exits, however it exits.
// The holder listens on it, so a waiter can ask the kernel who holds it.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

#include <tl/expected.hpp>

namespace cv::lan {

struct LockBusy {
    enum class Why { Held, TimedOut, Cancelled, Error } why = Why::Held;
    pid_t holder = 0;  // 0: not known
    int error = 0;  // errno, for Error
};

// Lock names as every program spells them.
std::string DiscoveryLockName();
std::string EndpointLockName(const std::string& mac);

class WorkstationLock {
public:
    WorkstationLock() = default;
    WorkstationLock(WorkstationLock&& other) noexcept;
    WorkstationLock& operator=(WorkstationLock&& other) noexcept;
    WorkstationLock(const WorkstationLock&) = delete;
    WorkstationLock& operator=(const WorkstationLock&) = delete;
    ~WorkstationLock();

    // Takes the lock now, or says who holds it.
    static tl::expected<WorkstationLock, LockBusy> TryTake(const std::string& name);

    struct Wait {
        std::chrono::milliseconds patience{30000};
        // Called once, with the holder, when the lock is still held after
        // `notice`: a wait the user can see is a wait the user is told of.
        std::chrono::milliseconds notice{300};
        std::function<void(pid_t holder)> waiting;
        std::function<bool()> cancelled;
    };
    // Takes the lock, waiting for its holder to let go.
    static tl::expected<WorkstationLock, LockBusy> Take(const std::string& name, const Wait& wait);

    bool held() const { return fd_ >= 0; }
    void Release();

private:
    explicit WorkstationLock(int fd) : fd_(fd) { }
    int fd_ = -1;
};

// The process that holds a lock, or 0 when it is free or cannot be told.
pid_t LockHolder(const std::string& name);

// "cortaviad (pid 812)", or "pid 812" when its name cannot be read.
std::string DescribeProcess(pid_t pid);

}  // namespace cv::lan
