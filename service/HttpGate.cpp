#include "service/HttpGate.h"

#include "service/Limits.h"

#include <QPointer>
#include <QSslSocket>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

namespace cv::service {

namespace {
const QString kConnectionName = QStringLiteral("cv-http-connection");
}

// One connection's deadlines and place in the bounds; a child of its
// socket, so it goes when the socket goes, whoever deletes it.
class HttpGate::Connection : public QObject {
public:
    enum class State { Handshake, Head, Body, Handled, Refused };

    Connection(QTcpSocket* socket, HttpGate* gate, QHostAddress peer)
        : QObject(socket),
          socket(socket),
          gate(gate),
          peer(std::move(peer))
    {
        setObjectName(kConnectionName);
        deadline.setSingleShot(true);
    }
    ~Connection() override
    {
        if (gate)
            gate->admission_.Leave(peer);
    }

    QTcpSocket* socket;
    QPointer<HttpGate> gate;
    QHostAddress peer;
    State state = State::Handshake;
    bool stream = false;
    Identity who;
    int requests = 0;
    std::size_t discarded = 0;
    QTimer deadline;
    QMetaObject::Connection reading;
    QMetaObject::Connection closing;

    void Expire(std::chrono::milliseconds after) { deadline.start(limits::Scaled(after)); }
};

HttpGate::HttpGate(HeadPolicy policy, QObject* parent)
    : QTcpServer(parent),
      policy_(std::move(policy)),
      admission_(limits::kMaxHttpConnections, limits::kMaxHttpPerPeer)
{
    ResumeAfterAcceptErrors(this);
}

void HttpGate::incomingConnection(qintptr descriptor)
{
    QHostAddress peer;
    if (const std::string why = admission_.Admit(descriptor, peer); !why.empty()) {
        // Closed before a byte is read or written: a flood costs us one
        // descriptor for an instant.
        ::close(static_cast<int>(descriptor));
        return;
    }
    QTcpSocket* socket = tls_ ? new QSslSocket(this) : new QTcpSocket(this);
    auto* c = new Connection(socket, this, peer);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(static_cast<int>(descriptor));
        delete socket;
        return;
    }
    // The head, and nothing beyond what a head may be, is buffered.
    socket->setReadBufferSize(static_cast<qint64>(limits::kMaxHead));
    connect(&c->deadline, &QTimer::timeout, socket, [c] {
        // No head in time, a body that stopped, an answer not read: the
        // client has had its chance.
        if (c->state != Connection::State::Handled || !c->stream)
            c->socket->abort();
    });
    c->closing = connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    c->Expire(limits::kHeadDeadline);
    if (tls_) {
        auto* ssl = static_cast<QSslSocket*>(socket);
        ssl->setSslConfiguration(*tls_);
        connect(ssl, &QSslSocket::encrypted, this, [this, c] {
            c->state = Connection::State::Head;
            PreRead(c);
        });
        connect(ssl, &QSslSocket::sslErrors, ssl, [ssl](const QList<QSslError>&) { ssl->abort(); });
        // Not TLS at all (plain HTTP on this port): no reason to wait.
        connect(ssl, &QAbstractSocket::errorOccurred, ssl, [c](QAbstractSocket::SocketError) {
            if (c->state == Connection::State::Handshake)
                c->socket->abort();
        });
        c->reading = connect(socket, &QTcpSocket::readyRead, this, [this, c] { PreRead(c); });
        ssl->startServerEncryption();
        return;
    }
    c->state = Connection::State::Head;
    c->reading = connect(socket, &QTcpSocket::readyRead, this, [this, c] { PreRead(c); });
}

void HttpGate::PreRead(Connection* c)
{
    if (c->state != Connection::State::Head)
        return;
    const QByteArray bytes = c->socket->peek(static_cast<qint64>(limits::kMaxHead));
    const std::size_t length = HeadLength(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    if (length == 0) {
        if (static_cast<std::size_t>(bytes.size()) >= limits::kMaxHead) {
            HeadDecision tooLong;
            tooLong.status = 431;
            tooLong.error = "headers: at most 16 KiB";
            Refuse(c, tooLong);
        }
        return;
    }
    const HeadDecision decision = DecideRaw(std::string_view(bytes.constData(), length), policy_);
    if (!decision.ok())
        return Refuse(c, decision);
    Pass(c, decision);
}

void HttpGate::Refuse(Connection* c, const HeadDecision& decision)
{
    c->state = Connection::State::Refused;
    disconnect(c->reading);
    QTcpSocket* socket = c->socket;
    const std::string answer = RefusalResponse(decision);
    socket->write(answer.data(), static_cast<qint64>(answer.size()));
    // What the client still sends (the body it started) is read and
    // dropped for a moment, so that it reads this answer rather than a
    // reset; then the connection goes, whatever is left.
    const auto drain = [c] {
        const qint64 n = c->socket->skip(c->socket->bytesAvailable());
        c->discarded += static_cast<std::size_t>(std::max<qint64>(n, 0));
        if (c->discarded > limits::kLingerBytes)
            c->socket->abort();
    };
    drain();
    connect(socket, &QTcpSocket::readyRead, c, drain);
    const bool tls = qobject_cast<QSslSocket*>(socket) != nullptr;
    const auto finish = [c, tls] {
        if (c->socket->bytesToWrite() > 0)
            return;
        if (tls)
            c->socket->disconnectFromHost();
        else
            ::shutdown(static_cast<int>(c->socket->socketDescriptor()), SHUT_WR);
    };
    connect(socket, &QTcpSocket::bytesWritten, c, finish);
    socket->flush();
    finish();
    c->Expire(limits::kLinger);
}

void HttpGate::Pass(Connection* c, const HeadDecision& decision)
{
    c->state = Connection::State::Body;
    c->stream = decision.stream;
    c->who = decision.who;
    disconnect(c->reading);
    disconnect(c->closing);
    QTcpSocket* socket = c->socket;
    // Head and body, and no more, while Qt's server reads them.
    socket->setReadBufferSize(static_cast<qint64>(limits::kMaxHead + limits::kMaxBody));
    c->Expire(limits::kBodyDeadline);
    // Once the answer is all sent, the connection closes; an answer the
    // client does not read is given kWriteDeadline from its last progress.
    connect(socket, &QTcpSocket::bytesWritten, c, [c] {
        if (c->state != Connection::State::Handled || c->stream)
            return;
        if (c->socket->bytesToWrite() == 0) {
            c->deadline.stop();
            c->socket->disconnectFromHost();
        } else {
            c->Expire(limits::kWriteDeadline);
        }
    });
    addPendingConnection(socket);
    // Qt's server reads on readyRead: what is already here must be told.
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(
            socket,
            [socket] {
                if (socket->bytesAvailable() > 0)
                    emit socket->readyRead();
            },
            Qt::QueuedConnection);
}

bool HttpGate::Handling(QTcpSocket* socket)
{
    auto* c = static_cast<Connection*>(socket->findChild<QObject*>(kConnectionName, Qt::FindDirectChildrenOnly));
    if (!c)
        return true;
    if (++c->requests > 1)
        return false;
    c->state = Connection::State::Handled;
    // The handler may wait for endpoints: the write deadline starts with
    // the first byte of its answer.
    c->deadline.stop();
    return true;
}

}  // namespace cv::service

namespace cv::service {

Identity HttpGate::Who(QTcpSocket* socket)
{
    auto* c = static_cast<Connection*>(socket->findChild<QObject*>(kConnectionName, Qt::FindDirectChildrenOnly));
    return c ? c->who : Identity{};
}

}  // namespace cv::service
