#include "net/MyAsyncSocket.h"

#include "net/Session.h"

#include <cstring>

CMyAsyncSocket::~CMyAsyncSocket()
{
    if (IsOpen())
        Close();
}

bool CMyAsyncSocket::Create()
{
    decoder_.Reset();
    return platform::CAsyncSocket::Create();
}

QString CMyAsyncSocket::ReadPiece()
{
    m_buffer.fill(0);
    const int n = Receive(m_buffer.data(), static_cast<int>(m_buffer.size()));
    if (n <= 0)
        return {};
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
