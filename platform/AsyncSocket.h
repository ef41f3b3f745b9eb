#pragma once
// A non-blocking TCP socket whose readiness is reported on the UI thread.
// It keeps what the program relies on: connect does not wait, a send
// returns the byte count or -1 (also before the connection is up), and the
// receive notification repeats while unread data remains.
#include <QObject>
#include <QString>
#include <memory>

class QSocketNotifier;

namespace platform {

inline constexpr int INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

class CAsyncSocket : public QObject {
    Q_OBJECT
public:
    CAsyncSocket();
    ~CAsyncSocket() override;
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // Stream socket bound to any local address and port 0.
    bool Create();
    // Starts a connection; never waits. Non-numeric text goes through the
    // system resolver.
    bool Connect(const QString& address, unsigned short port);
    int Send(const void* buf, int len);
    int Receive(void* buf, int len);
    void Close();

    bool IsOpen() const { return m_hSocket != INVALID_SOCKET; }
    int Handle() const { return m_hSocket; }

    // Test seam: the next `sends` sends go out, every later one fails, as
    // with a device that drops off in the middle of a group. Kept across
    // Close and Create; -1 (the default) never fails on purpose.
    void FailSendsAfter(int sends) { sendsBeforeFailure_ = sends; }

protected:
    virtual void OnReceive(int /*errorCode*/) { }
    virtual void OnClose(int /*errorCode*/) { }

private:
    void StopWatching();

    int m_hSocket = INVALID_SOCKET;
    int sendsBeforeFailure_ = -1;
    std::unique_ptr<QSocketNotifier> readNotifier_;
};

}  // namespace platform
