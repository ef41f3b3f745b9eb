#pragma once
// Who may open one more connection: bounds in total and per peer address,
// and descriptors kept for the fleet. A connection over any bound is
// closed as soon as it is accepted, before a byte is read or written.
#include <QHostAddress>
#include <QTcpServer>

#include <cstddef>
#include <map>
#include <string>

namespace cv::service {

class Admission {
public:
    Admission(std::size_t total, std::size_t perPeer);
    // Takes a place for the connection on `descriptor`, or says why not
    // (empty: admitted).
    std::string Admit(qintptr descriptor, QHostAddress& peer);
    void Leave(const QHostAddress& peer);
    std::size_t open() const { return open_; }

private:
    std::size_t total_;
    std::size_t perPeer_;
    std::size_t open_ = 0;
    std::map<QString, std::size_t> peers_;
};

// Descriptors this process may still open before it eats into the fleet's
// reserve (negative: already inside it).
long DescriptorsToSpare();
// Raises the soft descriptor limit towards limits::kWantedDescriptors, as
// far as the hard limit allows.
void RaiseDescriptorLimit();
// A listening server that cannot accept (no descriptor left) stops; this
// starts it again a second later. Also gives it a long accept queue; call
// before listen().
void ResumeAfterAcceptErrors(QTcpServer* server);

}  // namespace cv::service
