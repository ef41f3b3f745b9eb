// The event loop: one listener for every shell, one datagram socket for
// every discovery answer, tftp children, timers for reboots and slow output.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Fleet.h"
#include "Options.h"
#include "Shell.h"

namespace esim {

class Server {
public:
    explicit Server(SimConfig cfg);
    ~Server();
    // Binds everything; returns an error text or empty.
    std::string setup();
    // Runs until SIGTERM or SIGINT; returns the exit status.
    int run();

private:
    struct Conn {
        int fd = -1;
        int node = -1;
        int id = 0;
        int wireFd = -1;
        uint64_t serial = 0;
        std::unique_ptr<Session> session;
        std::string out;
        int64_t nextSendMs = 0;
        bool closing = false;
    };
    struct Job {
        pid_t pid = -1;
        int fd = -1;
        int node = -1;
        uint64_t connSerial = 0;
    };
    struct Reply {
        uint32_t from;
        uint32_t toAddr;
        uint16_t toPort;
        std::string payload;
    };

    void acceptAll(int64_t now);
    void readConn(Conn& c, int64_t now);
    void writeConn(Conn& c, int64_t now);
    void afterSession(Conn& c, int64_t now);
    void closeConn(int fd);
    void startJob(Conn& c, const TftpJob& job);
    void readJob(int fd, int64_t now);
    void readDiscovery(int64_t now);
    void sendReplies(int64_t now);
    void bootDue(int64_t now);
    void moveToSavedAddress(int node);
    void event(int node, const std::string& text);
    std::string nodeDir(int node) const;
    Conn* connBySerial(uint64_t serial);

    SimConfig cfg_;
    Fleet fleet_;
    int listenFd_ = -1;
    int udpFd_ = -1;
    int sigFd_[2] = {-1, -1};
    std::map<int, Conn> conns_;
    std::map<int, Job> jobs_;
    std::vector<Reply> replies_;
    uint64_t nextSerial_ = 1;
    int64_t nextReplyMs_ = 0;
};

int64_t nowMs();

}  // namespace esim
