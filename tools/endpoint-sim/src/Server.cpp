#include "Server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace esim {

namespace {

int g_sigWrite = -1;

void onSignal(int)
{
    char c = 1;
    [[maybe_unused]] ssize_t r = ::write(g_sigWrite, &c, 1);
}

// Only the test LAN (198.18.0.0/15) and loopback are ever answered or joined.
bool testAddress(uint32_t a) { return (a & 0xFFFE0000u) == 0xC6120000u || (a >> 24) == 127; }

void mkdirs(const std::string& path)
{
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/')
            ::mkdir(path.substr(0, i).c_str(), 0755);
}

void resetHard(int fd)
{
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

std::string sysError(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Server::Server(SimConfig cfg) : cfg_(std::move(cfg))
{
    for (auto& n : cfg_.nodes) {
        fleet_.add(n);
        fleet_.nodes.back().faults = faultsFor(cfg_, n.addr);
    }
}

Server::~Server()
{
    for (auto& [fd, job] : jobs_) {
        ::kill(job.pid, SIGTERM);
        ::waitpid(job.pid, nullptr, 0);
        ::close(fd);
    }
    for (auto& [fd, c] : conns_) {
        ::close(fd);
        if (c.wireFd >= 0)
            ::close(c.wireFd);
    }
    for (int fd : {listenFd_, udpFd_, sigFd_[0], sigFd_[1]})
        if (fd >= 0)
            ::close(fd);
}

std::string Server::nodeDir(int node) const
{
    return cfg_.stateDir + "/" + fleet_.nodes[static_cast<size_t>(node)].ip();
}

void Server::event(int node, const std::string& text)
{
    if (cfg_.stateDir.empty())
        return;
    // Opened per line: a fleet of 1000 must not hold 1000 descriptors.
    int fd = ::open((nodeDir(node) + "/events.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string line = text + "\n";
    [[maybe_unused]] ssize_t r = ::write(fd, line.data(), line.size());
    ::close(fd);
}

std::string Server::setup()
{
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
    ::signal(SIGPIPE, SIG_IGN);
    if (::pipe2(sigFd_, O_CLOEXEC | O_NONBLOCK) != 0)
        return sysError("pipe");
    g_sigWrite = sigFd_[1];
    struct sigaction sa { };
    sa.sa_handler = onSignal;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);

    if (!cfg_.stateDir.empty()) {
        for (size_t i = 0; i < fleet_.nodes.size(); ++i) {
            std::string dir = nodeDir(static_cast<int>(i));
            mkdirs(dir + "/shm");
            ::unlink((dir + "/events.log").c_str());
        }
    }

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        return sysError("shell socket");
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa4{};
    sa4.sin_family = AF_INET;
    sa4.sin_port = htons(cfg_.shellPort);
    sa4.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa4), sizeof sa4) != 0)
        return sysError("shell bind");
    if (::listen(listenFd_, 4096) != 0)
        return sysError("shell listen");

    if (cfg_.discovery) {
        udpFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (udpFd_ < 0)
            return sysError("discovery socket");
        ::setsockopt(udpFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sa4.sin_port = htons(cfg_.discoveryPort);
        if (::bind(udpFd_, reinterpret_cast<sockaddr*>(&sa4), sizeof sa4) != 0)
            return sysError("discovery bind");
        // Join on test LAN interfaces only: a membership report on any other
        // interface would leave this machine.
        ifaddrs* ifs = nullptr;
        if (::getifaddrs(&ifs) != 0)
            return sysError("getifaddrs");
        int joined = 0;
        for (ifaddrs* i = ifs; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_LOOPBACK))
                continue;
            uint32_t a = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
            if (!testAddress(a))
                continue;
            ip_mreqn mr{};
            inet_pton(AF_INET, "225.1.0.0", &mr.imr_multiaddr);
            mr.imr_ifindex = static_cast<int>(::if_nametoindex(i->ifa_name));
            if (::setsockopt(udpFd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mr, sizeof mr) == 0 || errno == EADDRINUSE)
                ++joined;
        }
        ::freeifaddrs(ifs);
        if (joined == 0)
            return "no interface with a 198.18.0.0/15 address to join 225.1.0.0 on "
                   "(run inside the test LAN, or use --no-discovery)";
    }

    if (!cfg_.readyFile.empty()) {
        std::string tmp = cfg_.readyFile + ".tmp";
        if (FILE* f = std::fopen(tmp.c_str(), "w")) {
            std::fprintf(f, "ready %d\n", static_cast<int>(::getpid()));
            std::fclose(f);
            ::rename(tmp.c_str(), cfg_.readyFile.c_str());
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return {};
}

Server::Conn* Server::connBySerial(uint64_t serial)
{
    for (auto& [fd, c] : conns_)
        if (c.serial == serial)
            return &c;
    return nullptr;
}

void Server::acceptAll(int64_t now)
{
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        sockaddr_in local{};
        len = sizeof local;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
        int node = fleet_.indexOf(ntohl(local.sin_addr.s_addr));
        if (node < 0) {
            resetHard(fd);
            continue;
        }
        Endpoint& ep = fleet_.nodes[static_cast<size_t>(node)];
        std::string from = formatIp(ntohl(peer.sin_addr.s_addr)) + ":" + std::to_string(ntohs(peer.sin_port));
        if (ep.downUntilMs > now || ep.faults.refuse) {
            event(node, std::string(ep.downUntilMs > now ? "refused_rebooting " : "refused ") + from);
            resetHard(fd);
            continue;
        }
        if (ep.faults.chunk) {
            // Nagle would merge the pieces while the peer delays its ACKs.
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        Conn c;
        c.fd = fd;
        c.node = node;
        c.id = ++ep.connCount;
        c.serial = nextSerial_++;
        if (!cfg_.stateDir.empty())
            c.wireFd = ::open((nodeDir(node) + "/conn-" + std::to_string(c.id) + ".bin").c_str(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ShellOptions opts = cfg_.shell;
        opts.workDir = cfg_.stateDir.empty() ? "" : nodeDir(node) + "/shm";
        std::string prefix = "c" + std::to_string(c.id) + " ";
        c.session = std::make_unique<Session>(fleet_, node, opts,
                                              [this, node, prefix](const std::string& t) { event(node, prefix + t); });
        if (!ep.faults.silent)
            c.out = Session::banner();
        event(node, prefix + "connect " + from);
        conns_.emplace(fd, std::move(c));
    }
}

void Server::closeConn(int fd)
{
    auto it = conns_.find(fd);
    if (it == conns_.end())
        return;
    event(it->second.node, "c" + std::to_string(it->second.id) + " disconnect");
    ::close(fd);
    if (it->second.wireFd >= 0)
        ::close(it->second.wireFd);
    conns_.erase(it);
}

void Server::readConn(Conn& c, int64_t now)
{
    char buf[65536];
    ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        closeConn(c.fd);
        return;
    }
    // Written straight through so a test sees the bytes while we run.
    if (c.wireFd >= 0) [[maybe_unused]]
        ssize_t w = ::write(c.wireFd, buf, static_cast<size_t>(n));
    if (fleet_.nodes[static_cast<size_t>(c.node)].faults.silent)
        return;
    c.session->receive(std::string_view(buf, static_cast<size_t>(n)), now);
    afterSession(c, now);
}

void Server::afterSession(Conn& c, int64_t now)
{
    c.out += c.session->takeOutput();
    if (auto job = c.session->takeTftpJob())
        startJob(c, *job);
    if (c.session->rebootRequested() && !c.closing) {
        Endpoint& ep = fleet_.nodes[static_cast<size_t>(c.node)];
        ep.downUntilMs = now + cfg_.rebootDelayMs;
        event(c.node, "down " + std::to_string(cfg_.rebootDelayMs) + "ms");
        // Every other session of the endpoint dies with it.
        std::vector<int> others;
        for (auto& [fd, o] : conns_)
            if (o.node == c.node && fd != c.fd)
                others.push_back(fd);
        for (int fd : others)
            closeConn(fd);
    }
    if (c.session->closeRequested())
        c.closing = true;
    if (c.closing && c.out.empty())
        closeConn(c.fd);
}

void Server::writeConn(Conn& c, int64_t now)
{
    const Faults& f = fleet_.nodes[static_cast<size_t>(c.node)].faults;
    while (!c.out.empty() && c.nextSendMs <= now) {
        size_t len = f.chunk ? std::min(f.chunk, c.out.size()) : c.out.size();
        ssize_t n = ::send(c.fd, c.out.data(), len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                return;
            closeConn(c.fd);
            return;
        }
        c.out.erase(0, static_cast<size_t>(n));
        if (f.chunk && f.chunkDelayMs > 0)
            c.nextSendMs = now + f.chunkDelayMs;
    }
    if (c.closing && c.out.empty())
        closeConn(c.fd);
}

void Server::startJob(Conn& c, const TftpJob& job)
{
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) {
        c.session->tftpOutput("tftp: cannot start: " + std::string(std::strerror(errno)) + "\n");
        c.session->tftpFinished(-1, nowMs());
        return;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGINT, SIG_DFL);
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::dup2(p[1], 1);
        ::dup2(p[1], 2);
        if (::chdir(job.workDir.c_str()) != 0)
            _exit(126);
        std::vector<char*> argv;
        for (auto& a : job.argv)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(p[1]);
    if (pid < 0) {
        ::close(p[0]);
        c.session->tftpOutput("tftp: cannot start\n");
        c.session->tftpFinished(-1, nowMs());
        return;
    }
    ::fcntl(p[0], F_SETFL, ::fcntl(p[0], F_GETFL) | O_NONBLOCK);
    jobs_[p[0]] = Job{pid, p[0], c.node, c.serial};
    event(c.node, "c" + std::to_string(c.id) + " tftp_pid " + std::to_string(pid));
}

void Server::readJob(int fd, int64_t now)
{
    Job job = jobs_.at(fd);
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    Conn* c = connBySerial(job.connSerial);
    if (n > 0) {
        if (c) {
            c->session->tftpOutput(std::string_view(buf, static_cast<size_t>(n)));
            afterSession(*c, now);
        }
        return;
    }
    // End of output: the client is exiting, so this wait is short.
    int st = 0;
    ::waitpid(job.pid, &st, 0);
    ::close(fd);
    jobs_.erase(fd);
    int status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (c) {
        c->session->tftpFinished(status, now);
        afterSession(*c, now);
    } else {
        event(job.node, "tftp_done status=" + std::to_string(status) + " session gone");
    }
}

void Server::readDiscovery(int64_t now)
{
    for (;;) {
        char buf[2048];
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        ssize_t n = ::recvfrom(udpFd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&peer), &len);
        if (n < 0)
            return;
        uint32_t from = ntohl(peer.sin_addr.s_addr);
        std::string line =
            "query from " + formatIp(from) + ":" + std::to_string(ntohs(peer.sin_port)) + " bytes=" + std::to_string(n);
        int answers = 0;
        if (testAddress(from)) {
            for (auto& ep : fleet_.nodes) {
                if (ep.downUntilMs > now || ep.faults.noDiscovery)
                    continue;
                replies_.push_back(Reply{ep.cfg.addr, from, cfg_.replyPort, ep.dumpHostnameLine()});
                ++answers;
            }
        }
        if (!cfg_.stateDir.empty()) {
            if (FILE* f = std::fopen((cfg_.stateDir + "/discovery.log").c_str(), "a")) {
                std::fprintf(f, "%s answers=%d\n", line.c_str(), answers);
                std::fclose(f);
            }
        }
    }
}

void Server::sendReplies(int64_t now)
{
    size_t sent = 0;
    for (; sent < replies_.size() && nextReplyMs_ <= now; ++sent) {
        const Reply& r = replies_[sent];
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(r.toPort);
        to.sin_addr.s_addr = htonl(r.toAddr);
        iovec iov{const_cast<char*>(r.payload.data()), r.payload.size()};
        // The answer's source address is all the querier looks at.
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        msghdr msg{};
        msg.msg_name = &to;
        msg.msg_namelen = sizeof to;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* cm = CMSG_FIRSTHDR(&msg);
        cm->cmsg_level = IPPROTO_IP;
        cm->cmsg_type = IP_PKTINFO;
        cm->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo pi{};
        pi.ipi_spec_dst.s_addr = htonl(r.from);
        std::memcpy(CMSG_DATA(cm), &pi, sizeof pi);
        if (::sendmsg(udpFd_, &msg, MSG_NOSIGNAL) < 0) {
            if (errno == EAGAIN || errno == ENOBUFS)
                break;
            std::fprintf(stderr, "endpoint-sim: discovery answer from %s: %s\n", formatIp(r.from).c_str(),
                         std::strerror(errno));
        }
        if (cfg_.answerGapMs > 0)
            nextReplyMs_ = now + cfg_.answerGapMs;
    }
    replies_.erase(replies_.begin(), replies_.begin() + static_cast<long>(sent));
}

// A saved static address takes effect at boot, as on the firmware: the
// endpoint then answers there and no longer at its old address. Only
// addresses of the endpoints' range move it (the test LAN routes no others
// to us), and never onto another endpoint.
void Server::moveToSavedAddress(int node)
{
    Endpoint& ep = fleet_.nodes[static_cast<size_t>(node)];
    if (ep.param("ip_mode") != "static")
        return;
    const std::optional<uint32_t> to = parseIp(ep.param("ipaddr"));
    if (!to || *to == ep.cfg.addr || fleet_.indexOf(*to) >= 0)
        return;
    const uint32_t third = (*to >> 8) & 0xFF;
    if ((*to >> 16) != ((198u << 8) | 18u) || third < 1 || third > 250 || (*to & 0xFF) == 0)
        return;
    const std::string from = ep.ip();
    event(node, "moved to " + formatIp(*to));
    ep.cfg.addr = *to;
    ep.connCount = 0;  // its wire log at the new address starts at conn-1
    if (!cfg_.stateDir.empty())
        mkdirs(nodeDir(node) + "/shm");
    event(node, "moved from " + from);
}

void Server::bootDue(int64_t now)
{
    for (size_t i = 0; i < fleet_.nodes.size(); ++i) {
        Endpoint& ep = fleet_.nodes[i];
        if (ep.downUntilMs != 0 && ep.downUntilMs <= now) {
            ep.downUntilMs = 0;
            ep.boot();
            if (!ep.faults.swapMac.empty()) {
                // An installer's swap: another box, configured as the old one.
                ep.cfg.mac = ep.faults.swapMac;
                ep.faults.swapMac.clear();
                event(static_cast<int>(i), "swapped for " + ep.cfg.mac);
            }
            const uint32_t to = ep.faults.moveTo;
            if (to != 0 && fleet_.indexOf(to) < 0) {
                // A new lease: the same endpoint, answering elsewhere. Its
                // logs start afresh under the new address.
                event(static_cast<int>(i), "moved to " + formatIp(to));
                const std::string from = ep.ip();
                ep.cfg.addr = to;
                ep.faults.moveTo = 0;
                ep.connCount = 0;
                if (!cfg_.stateDir.empty())
                    mkdirs(nodeDir(static_cast<int>(i)) + "/shm");
                event(static_cast<int>(i), "moved from " + from);
            } else {
                moveToSavedAddress(static_cast<int>(i));
            }
            event(static_cast<int>(i), "up");
        }
    }
}

int Server::run()
{
    std::vector<pollfd> fds;
    enum Kind { Sig, Listen, Udp, ConnFd, JobFd };
    std::vector<Kind> kinds;
    for (;;) {
        int64_t now = nowMs();
        bootDue(now);
        int64_t wake = -1;
        auto wakeAt = [&](int64_t t) {
            if (wake < 0 || t < wake)
                wake = t;
        };
        for (auto& ep : fleet_.nodes)
            if (ep.downUntilMs != 0)
                wakeAt(ep.downUntilMs);
        fds.clear();
        kinds.clear();
        fds.push_back({sigFd_[0], POLLIN, 0});
        kinds.push_back(Sig);
        fds.push_back({listenFd_, POLLIN, 0});
        kinds.push_back(Listen);
        if (udpFd_ >= 0) {
            bool due = !replies_.empty() && nextReplyMs_ <= now;
            if (!replies_.empty() && !due)
                wakeAt(nextReplyMs_);
            fds.push_back({udpFd_, static_cast<short>(POLLIN | (due ? POLLOUT : 0)), 0});
            kinds.push_back(Udp);
        }
        for (auto& [fd, c] : conns_) {
            short ev = POLLIN;
            if (!c.out.empty()) {
                if (c.nextSendMs <= now)
                    ev |= POLLOUT;
                else
                    wakeAt(c.nextSendMs);
            }
            fds.push_back({fd, ev, 0});
            kinds.push_back(ConnFd);
        }
        for (auto& [fd, j] : jobs_) {
            fds.push_back({fd, POLLIN, 0});
            kinds.push_back(JobFd);
        }
        int timeout = wake < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, wake - now));
        int r = ::poll(fds.data(), fds.size(), timeout);
        if (r < 0 && errno != EINTR) {
            std::perror("endpoint-sim: poll");
            return 1;
        }
        now = nowMs();
        if (r <= 0)
            fds.clear();
        for (size_t i = 0; i < fds.size(); ++i) {
            short re = fds[i].revents;
            if (!re)
                continue;
            int fd = fds[i].fd;
            switch (kinds[i]) {
            case Sig: return 0;
            case Listen: acceptAll(now); break;
            case Udp:
                if (re & POLLIN)
                    readDiscovery(now);
                if (!replies_.empty())
                    sendReplies(now);
                break;
            case ConnFd: {
                if (re & (POLLIN | POLLHUP | POLLERR)) {
                    auto it = conns_.find(fd);
                    if (it != conns_.end())
                        readConn(it->second, now);
                }
                auto it = conns_.find(fd);
                if (it != conns_.end() && !it->second.out.empty())
                    writeConn(it->second, now);
                break;
            }
            case JobFd:
                if (jobs_.count(fd))
                    readJob(fd, now);
                break;
            }
        }
        if (!replies_.empty() && nextReplyMs_ <= now)
            sendReplies(now);
        // Slow output whose next piece is due, whether or not poll woke for it.
        std::vector<int> due;
        for (auto& [fd, c] : conns_)
            if (!c.out.empty() && c.nextSendMs <= now)
                due.push_back(fd);
        for (int fd : due) {
            auto it = conns_.find(fd);
            if (it != conns_.end())
                writeConn(it->second, now);
        }
    }
}

}  // namespace esim
