#pragma once
#include "platform/AsyncSocket.h"
#include "platform/CodePage.h"

#include <QString>
#include <array>

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

protected:
    void OnReceive(int errorCode) override;

private:
    IMainWindow* window_ = nullptr;
    platform::SystemDecoder decoder_;
};
