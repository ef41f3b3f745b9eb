#include "net/Session.h"

#include "platform/MessageBox.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* kDiscoveryGroup = "225.1.0.0";
constexpr unsigned short kQueryPort = 3333;
constexpr unsigned short kReplyPort = 3334;
constexpr int kQueryBytes = 8;

// Without its two sockets the program cannot find any endpoint at all; it
// says which step failed and ends.
[[noreturn]] void Fatal(const char* step)
{
    std::fprintf(stderr, "%s: %s\n", step, std::strerror(errno));
    std::fflush(stderr);
    std::fflush(stdout);
    ::_exit(1);
}

// Waits up to one full second; the time-out is set afresh before every
// wait because select() shortens it.
bool ReadableWithinOneSecond(int fd)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval wait{};
    wait.tv_sec = 1;
    wait.tv_usec = 0;
    return ::select(fd + 1, &set, nullptr, nullptr, &wait) > 0;
}

}  // namespace

bool Discover(CMyAsyncSocket& socket, QWidget* owner)
{
    const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sender < 0)
        Fatal("socket sender");
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = 0;
    if (::bind(sender, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0)
        Fatal("bind");

    const int receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto failReceiver = [sender](const char* step) {
        const int saved = errno;
        ::close(sender);
        errno = saved;
        Fatal(step);
    };
    if (receiver < 0)
        failReceiver("socket receiver");
    const int reuse = 1;
    if (::setsockopt(receiver, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0)
        failReceiver("setsockopt (SO_REUSEADDR)");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(kReplyPort);
    if (::bind(receiver, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        failReceiver("bind");

    const char query[kQueryBytes] = {};
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kQueryPort);
    ::inet_pton(AF_INET, kDiscoveryGroup, &group.sin_addr);
    ::sendto(sender, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&group), sizeof group);

    bool answered = false;
    char reply[1024] = {};
    if (!ReadableWithinOneSecond(receiver)) {
        platform::MessageBox(owner, QString::fromUtf8(net_text::kNoDeviceFound), platform::MB_OK | platform::MB_ICONINFORMATION);
    } else {
        do {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            // A read that fails after readiness is skipped, not taken as an
            // answer from whatever the address field last held.
            const ssize_t n = ::recvfrom(receiver, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n >= 0 && from.sin_family == AF_INET) {
                char text[INET_ADDRSTRLEN] = {};
                ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
                socket.m_strPeerAddress = QString::fromLatin1(text);
                answered = true;
            }
        } while (ReadableWithinOneSecond(receiver));
    }
    ::close(receiver);
    ::close(sender);
    return answered;
}
