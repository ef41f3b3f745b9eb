#include "platform/AsyncSocket.h"

#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

CAsyncSocket::CAsyncSocket() = default;

CAsyncSocket::~CAsyncSocket()
{
    readNotifier_.reset();
    Close();
}

bool CAsyncSocket::Create()
{
    Close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        ::close(fd);
        return false;
    }
    m_hSocket = fd;
    readNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(readNotifier_.get(), &QSocketNotifier::activated, this, [this] { OnReceive(0); });
    return true;
}

bool CAsyncSocket::Connect(const QString& address, unsigned short port)
{
    if (m_hSocket == INVALID_SOCKET)
        return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    const QByteArray text = address.toLatin1();
    if (::inet_pton(AF_INET, text.constData(), &to.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (text.isEmpty() || ::getaddrinfo(text.constData(), nullptr, &hints, &res) != 0 || !res)
            return false;
        to.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
        ::freeaddrinfo(res);
    }
    const int rc = ::connect(m_hSocket, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return rc == 0 || errno == EINPROGRESS;
}

int CAsyncSocket::Send(const void* buf, int len)
{
    if (m_hSocket == INVALID_SOCKET || len < 0)
        return SOCKET_ERROR;
    if (sendsBeforeFailure_ == 0)
        return SOCKET_ERROR;
    if (sendsBeforeFailure_ > 0)
        --sendsBeforeFailure_;
    const ssize_t n = ::send(m_hSocket, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    return n < 0 ? SOCKET_ERROR : static_cast<int>(n);
}

int CAsyncSocket::Receive(void* buf, int len)
{
    if (m_hSocket == INVALID_SOCKET || len <= 0)
        return SOCKET_ERROR;
    const ssize_t n = ::recv(m_hSocket, buf, static_cast<size_t>(len), 0);
    if (n > 0)
        return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return SOCKET_ERROR;
    // End of stream or a hard error: the handle stays open (the program
    // never notices a closed session), but it must stop reporting
    // readiness, or the level-triggered notifier would spin forever.
    const int error = n == 0 ? 0 : errno;
    StopWatching();
    QTimer::singleShot(0, this, [this, error] { OnClose(error); });
    return n == 0 ? 0 : SOCKET_ERROR;
}

void CAsyncSocket::StopWatching()
{
    if (readNotifier_)
        readNotifier_->setEnabled(false);
}

void CAsyncSocket::Close()
{
    // A close can come from inside this notifier's own signal (a nested
    // message box loop), so the notifier is retired, not deleted, here.
    if (readNotifier_) {
        readNotifier_->setEnabled(false);
        readNotifier_.release()->deleteLater();
    }
    if (m_hSocket != INVALID_SOCKET) {
        ::close(m_hSocket);
        m_hSocket = INVALID_SOCKET;
    }
}

}  // namespace platform
