#pragma once
// The listening side of the HTTP API. Each new connection is admitted
// (bounds, descriptors), its TLS handshake made when it has one, and its
// request head read and judged (RequestHead) before a byte of the body is:
// a refused request is answered here and the connection closed; an
// accepted one goes on to Qt's HTTP server, which reads its body (at most
// 64 KiB, within a deadline) and calls the API. One request per
// connection: every answer says "Connection: close", and the connection
// closes once it is sent, so no later request can skip this check.
#include "service/Admission.h"
#include "service/RequestHead.h"

#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>

#include <optional>

namespace cv::service {

class HttpGate : public QTcpServer {
public:
    explicit HttpGate(HeadPolicy policy, QObject* parent = nullptr);
    // Serve HTTPS with this certificate and key.
    void UseTls(const QSslConfiguration& tls) { tls_ = tls; }
    std::size_t connections() const { return admission_.open(); }

    // Called by the API for each request Qt has read from `socket`: false
    // when it must not be handled (a second request on a connection that
    // was told to close).
    static bool Handling(QTcpSocket* socket);
    // Who the head said asks on `socket` (nobody for a socket that did
    // not come through a gate).
    static Identity Who(QTcpSocket* socket);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    class Connection;
    void PreRead(Connection* c);
    void Refuse(Connection* c, const HeadDecision& decision);
    void Pass(Connection* c, const HeadDecision& decision);

    HeadPolicy policy_;
    Admission admission_;
    std::optional<QSslConfiguration> tls_;
};

}  // namespace cv::service
