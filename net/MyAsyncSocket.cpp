#include "net/MyAsyncSocket.h"

#include "net/Session.h"

#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

CMyAsyncSocket::~CMyAsyncSocket()
{
    if (IsOpen())
        Close();
}

bool CMyAsyncSocket::Create()
{
    decoder_.Reset();
    bytesRead_ = 0;
    return platform::CAsyncSocket::Create();
}

std::uint64_t CMyAsyncSocket::BytesArrived() const
{
    int waiting = 0;
    if (IsOpen() && ::ioctl(Handle(), FIONREAD, &waiting) != 0)
        waiting = 0;
    return bytesRead_ + static_cast<std::uint64_t>(waiting > 0 ? waiting : 0);
}

bool CMyAsyncSocket::PeerClosed() const
{
    if (!IsOpen())
        return true;
    // A reset shows as an error and a hang-up, a close as a read hang-up,
    // whatever is still queued in front of it.
    pollfd p{Handle(), POLLIN | POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

QString CMyAsyncSocket::ReadPiece()
{
    m_buffer.fill(0);
    const int n = Receive(m_buffer.data(), static_cast<int>(m_buffer.size()));
    if (n <= 0)
        return {};
    bytesRead_ += static_cast<std::uint64_t>(n);
    // Text ends at the first zero byte of the piece; what follows it in the
    // same read is dropped.
    const auto length = static_cast<qsizetype>(::strnlen(m_buffer.data(), static_cast<size_t>(n)));
    return decoder_.Decode(QByteArrayView(m_buffer.data(), length));
}

void CMyAsyncSocket::OnReceive(int)
{
    if (window_)
        ReceivePipeline(*window_, *this);
    else
        ReadPiece();
}
