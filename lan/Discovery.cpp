#include "lan/Discovery.h"

#include "lan/Interfaces.h"
#include "lan/PortOwners.h"
#include "lan/WorkstationLock.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <unordered_set>

namespace cv::lan {

namespace {

constexpr const char* kDiscoveryGroup = "225.1.0.0";
constexpr int kQueryBytes = 8;
constexpr std::size_t kReplyBuffer = 1024;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) { }
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

// select() shortens its time-out on Linux, so each wait gets a fresh one:
// the network must stay quiet for the whole period after the last reply.
// A signal that interrupts the wait is no quiet network: the wait goes on
// for what is left of the period.
bool ReadableWithin(int fd, std::chrono::milliseconds period)
{
    const auto end = std::chrono::steady_clock::now() + period;
    for (;;) {
        const auto left =
            std::max(std::chrono::duration_cast<std::chrono::microseconds>(end - std::chrono::steady_clock::now()),
                     std::chrono::microseconds(0));
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval wait{};
        wait.tv_sec = static_cast<time_t>(left.count() / 1000000);
        wait.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
        const int r = ::select(fd + 1, &set, nullptr, nullptr, &wait);
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0;
    }
}

DiscoveryResult Failed(DiscoveryResult result, const char* step, std::string detail = {})
{
    result.failure = DiscoveryFailure{step, detail.empty() ? errno : 0, std::move(detail)};
    return result;
}

// Another program on the reply port takes some of the answers (the kernel
// gives each to one socket), so a round beside it would silently miss
// endpoints. Every Cortavia program takes the lock first, so whoever else
// is there is not one of ours.
std::string ForeignHolder(unsigned short port, ino_t ours)
{
    for (const UdpSocket& s : UdpSocketsOnPort(port))
        if (s.inode != ours) {
            const pid_t owner = SocketOwner(s.inode);
            return "UDP port " + std::to_string(port) + " is held by " +
                (owner ? DescribeProcess(owner) : std::string("another user's program")) +
                ", which is not a Cortavia program and would take the endpoints' answers";
        }
    return {};
}

}  // namespace

std::vector<std::string> RespondersLatestFirst(const std::vector<std::string>& replies)
{
    std::vector<std::string> out;
    std::unordered_set<std::string> seen;
    for (auto it = replies.rbegin(); it != replies.rend(); ++it)
        if (seen.insert(*it).second)
            out.push_back(*it);
    return out;
}

std::string Describe(const DiscoveryFailure& failure)
{
    if (!failure.detail.empty())
        return failure.step + ": " + failure.detail;
    return failure.step + ": " + std::strerror(failure.error);
}

DiscoveryResult Discover(const DiscoveryOptions& options)
{
    DiscoveryResult result;

    // Which cards to send on, chosen before any socket exists so that a
    // mistyped name is reported without a query leaving anywhere.
    std::vector<Ipv4Interface> cards = MulticastInterfaces();
    if (!options.interfaces.empty()) {
        std::vector<Ipv4Interface> chosen;
        for (const std::string& name : options.interfaces) {
            const auto it =
                std::find_if(cards.begin(), cards.end(), [&](const Ipv4Interface& c) { return c.name == name; });
            if (it == cards.end())
                result.unknownInterfaces.push_back(name);
            else
                chosen.push_back(*it);
        }
        cards = std::move(chosen);
        if (cards.empty())
            return result;
    }

    // Held until the last answer is read; released however this returns.
    WorkstationLock::Wait wait;
    wait.patience = options.patience;
    wait.waiting = options.waiting;
    wait.cancelled = options.cancelled;
    auto lock = WorkstationLock::Take(DiscoveryLockName(), wait);
    if (!lock) {
        const LockBusy& busy = lock.error();
        if (busy.why == LockBusy::Why::Error) {
            errno = busy.error;
            return Failed(std::move(result), "lock");
        }
        if (busy.why == LockBusy::Why::Cancelled)
            return Failed(std::move(result), "lock", "cancelled while waiting for another Cortavia program");
        return Failed(std::move(result), "lock",
                      "another Cortavia program" + (busy.holder ? " (" + DescribeProcess(busy.holder) + ")" : "") +
                          " has held discovery for " + std::to_string(options.patience.count() / 1000) + " s");
    }

    Fd sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sender.valid())
        return Failed(std::move(result), "socket sender");
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(sender.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
        return Failed(std::move(result), "bind");

    Fd receiver(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!receiver.valid())
        return Failed(std::move(result), "socket receiver");
    const int reuse = 1;
    if (::setsockopt(receiver.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0)
        return Failed(std::move(result), "setsockopt (SO_REUSEADDR)");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(options.replyPort);
    if (::bind(receiver.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        if (errno == EADDRINUSE)
            if (std::string holder = ForeignHolder(options.replyPort, 0); !holder.empty())
                return Failed(std::move(result), "bind", std::move(holder));
        return Failed(std::move(result), "bind");
    }
    struct stat self { };
    if (::fstat(receiver.get(), &self) == 0)
        if (std::string holder = ForeignHolder(options.replyPort, self.st_ino); !holder.empty())
            return Failed(std::move(result), "bind", std::move(holder));
    // A venue's answers arrive in a burst; the default buffer holds a few
    // hundred. Root may go past the system's ceiling, others get what it allows.
    const int wanted = static_cast<int>(options.receiveBuffer);
    if (::setsockopt(receiver.get(), SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) != 0)
        ::setsockopt(receiver.get(), SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);

    const char query[kQueryBytes] = {};
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(options.queryPort);
    ::inet_pton(AF_INET, kDiscoveryGroup, &group.sin_addr);
    // A query that never left is no round at all: every endpoint would
    // look silent. A full queue is worth a short second try.
    int sendError = 0;
    auto send = [&] {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (::sendto(sender.get(), query, sizeof query, 0, reinterpret_cast<sockaddr*>(&group), sizeof group) ==
                static_cast<ssize_t>(sizeof query))
                return true;
            sendError = errno;
            if (sendError != EINTR && sendError != EAGAIN && sendError != ENOBUFS)
                return false;
            if (sendError != EINTR)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    };
    if (cards.empty()) {
        // No card qualifies (or the system hides them): the routing table
        // decides, as it always did.
        if (!send()) {
            errno = sendError;
            return Failed(std::move(result), "send");
        }
    } else {
        // Multicast follows the default route unless told otherwise; on a
        // workstation with an office card and an AV card that is the wrong
        // one, so the query goes out once on every card.
        for (const Ipv4Interface& card : cards) {
            ip_mreqn via{};
            via.imr_ifindex = static_cast<int>(card.index);
            ::inet_pton(AF_INET, card.address.c_str(), &via.imr_address);
            if (::setsockopt(sender.get(), IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) != 0)
                continue;
            if (send())
                result.sentOn.push_back(card.name);
        }
        // One card that cannot carry it is that card's matter; none at all
        // is the workstation's failure, not a silent fleet.
        if (result.sentOn.empty() && sendError != 0) {
            errno = sendError;
            return Failed(std::move(result), "send");
        }
    }

    char reply[kReplyBuffer] = {};
    while (ReadableWithin(receiver.get(), options.quiet)) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        // A read that fails after readiness is skipped, not taken as an
        // answer from whatever the address field last held.
        const ssize_t n =
            ::recvfrom(receiver.get(), reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0 || from.sin_family != AF_INET)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text))
            result.replies.emplace_back(text);
    }
    return result;
}

}  // namespace cv::lan
