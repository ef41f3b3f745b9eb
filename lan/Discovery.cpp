#include "lan/Discovery.h"

#include "lan/Interfaces.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

DiscoveryResult Failed(DiscoveryResult result, const char* step)
{
    result.failure = DiscoveryFailure{step, errno};
    return result;
}

}  // namespace

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
    if (::bind(receiver.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return Failed(std::move(result), "bind");

    const char query[kQueryBytes] = {};
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(options.queryPort);
    ::inet_pton(AF_INET, kDiscoveryGroup, &group.sin_addr);
    auto send = [&] {
        ::sendto(sender.get(), query, sizeof query, 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
    };
    if (cards.empty()) {
        // No card qualifies (or the system hides them): the routing table
        // decides, as it always did.
        send();
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
            send();
            result.sentOn.push_back(card.name);
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
