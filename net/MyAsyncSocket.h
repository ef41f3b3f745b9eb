#pragma once
#include "platform/AsyncSocket.h"
#include "platform/CodePage.h"

#include <QString>
#include <array>
#include <cstdint>

class IMainWindow;

// One command session to an endpoint's shell. Everything it receives goes
// through the main window's receive pipeline.
class CMyAsyncSocket : public platform::CAsyncSocket {
    Q_OBJECT
public:
    CMyAsyncSocket() = default;
    ~CMyAsyncSocket() override;

    void SetWindow(IMainWindow* window) { window_ = window; }
    // A new connection starts a new byte stream.
    bool Create();

    // Address of the endpoint that answered the last discovery.
    QString m_strPeerAddress;
    std::array<char, 1024> m_buffer{};

    // Reads one piece (at most 1024 bytes) and returns its text; empty when
    // the read failed or held nothing before its first zero byte.
    QString ReadPiece();

    // The endpoint the window last opened a session to on this socket
    // (Scan, a detail query, a wall command); none before the first.
    void SessionOpenedTo(const QString& address)
    {
        sessionOpened_ = true;
        sessionAddress_ = address;
    }
    bool SessionOpened() const { return sessionOpened_; }
    const QString& SessionAddress() const { return sessionAddress_; }

    // Every byte the endpoint has sent on this connection, read or still
    // waiting to be read: looking costs the receive pipeline nothing.
    std::uint64_t BytesArrived() const;
    // The endpoint closed or reset its end (also with data still unread).
    bool PeerClosed() const;

protected:
    void OnReceive(int errorCode) override;

private:
    IMainWindow* window_ = nullptr;
    platform::SystemDecoder decoder_;
    std::uint64_t bytesRead_ = 0;
    bool sessionOpened_ = false;
    QString sessionAddress_;
};
