#include "lan/WorkstationLock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>
#include <utility>

namespace cv::lan {

namespace {

constexpr auto kRetry = std::chrono::milliseconds(20);

// The abstract namespace: a leading NUL, no file anywhere.
socklen_t AbstractAddress(const std::string& name, sockaddr_un& address)
{
    address = {};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::min(name.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.data(), length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

}  // namespace

std::string DiscoveryLockName() { return "cortavia/discovery"; }

std::string EndpointLockName(const std::string& mac) { return "cortavia/endpoint/" + mac; }

WorkstationLock::WorkstationLock(WorkstationLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) { }

WorkstationLock& WorkstationLock::operator=(WorkstationLock&& other) noexcept
{
    if (this != &other) {
        Release();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

WorkstationLock::~WorkstationLock() { Release(); }

void WorkstationLock::Release()
{
    if (fd_ >= 0)
        ::close(std::exchange(fd_, -1));
}

tl::expected<WorkstationLock, LockBusy> WorkstationLock::TryTake(const std::string& name)
{
    // Close-on-exec: a child such as a tftp client must not keep the lock.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return tl::unexpected(LockBusy{LockBusy::Why::Error, 0, errno});
    sockaddr_un address;
    const socklen_t length = AbstractAddress(name, address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EADDRINUSE)
            return tl::unexpected(LockBusy{LockBusy::Why::Held, LockHolder(name), 0});
        return tl::unexpected(LockBusy{LockBusy::Why::Error, 0, error});
    }
    // Listening lets a waiter learn the holder's pid from the kernel; the
    // holder never accepts, and a closed lock drops what is queued.
    ::listen(fd, 64);
    return WorkstationLock(fd);
}

tl::expected<WorkstationLock, LockBusy> WorkstationLock::Take(const std::string& name, const Wait& wait)
{
    const auto start = std::chrono::steady_clock::now();
    bool told = false;
    for (;;) {
        auto taken = TryTake(name);
        if (taken || taken.error().why != LockBusy::Why::Held)
            return taken;
        const auto waited = std::chrono::steady_clock::now() - start;
        if (!told && waited >= wait.notice && wait.waiting) {
            told = true;
            wait.waiting(taken.error().holder);
        }
        if (wait.cancelled && wait.cancelled())
            return tl::unexpected(LockBusy{LockBusy::Why::Cancelled, taken.error().holder, 0});
        if (waited >= wait.patience)
            return tl::unexpected(LockBusy{LockBusy::Why::TimedOut, taken.error().holder, 0});
        std::this_thread::sleep_for(kRetry);
    }
}

pid_t LockHolder(const std::string& name)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return 0;
    sockaddr_un address;
    const socklen_t length = AbstractAddress(name, address);
    pid_t holder = 0;
    // The credentials of a listening socket are those of whoever listened.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0)
            holder = peer.pid;
    }
    ::close(fd);
    return holder;
}

std::string DescribeProcess(pid_t pid)
{
    const std::string id = "pid " + std::to_string(pid);
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (pid <= 0 || !std::getline(comm, name) || name.empty())
        return id;
    return name + " (" + id + ")";
}

}  // namespace cv::lan
