#pragma once
// Command sessions to the endpoints' shells and the operations that read
// what they answer: Scan, discovery, the detail query, the receive pipeline.
#include "net/MainWindow.h"

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <cstddef>

class QWidget;

// Close, create, and start a connection to port 24; never waits.
void OpenCommandSession(CMyAsyncSocket& socket, const QString& address);

// Converts a line into a zero-filled buffer of `bufferSize` bytes and sends
// it as one send, with its terminating zero when asked. A line that would
// not fit is not sent at all and counts as a failed send.
int SendLine(CMyAsyncSocket& socket, QStringView line, std::size_t bufferSize, bool withZero = false);
// 8-bit literals go out from their own bytes.
int SendBytes(CMyAsyncSocket& socket, const QByteArray& bytes, bool withZero = false);

// Every receive notification: read, decode, append, push values, parse.
void ReceivePipeline(IMainWindow& window, CMyAsyncSocket& socket);
// Everything after the read: append, push values, run the three readers.
void AppendArrival(IMainWindow& window, const QString& piece);

// Empties the device info panel and the settings controls.
void ClearDeviceInfo(IMainWindow& window);

// The four device buttons, in the order the waits enable them.
void EnableDeviceButtons(IMainWindow& window, bool enable);

// Bar range 0..end, position 0, and the wait's timer (restarted if running).
void StartWait(IMainWindow& window, int timerId, int endPosition, int periodMs);

void Scan(IMainWindow& window);

// Multicast discovery on the scan socket: sets its peer address to the last
// responder. Returns false when nobody answered (after showing the message).
// A socket failure ends the program, as nothing can be found without them.
bool Discover(CMyAsyncSocket& socket, QWidget* owner);

// A click on a row of the TX list (tx) or the RX list; row -1 hit no row.
void DetailQuery(IMainWindow& window, bool txList, int row);

// The transcript readers of node-listing and device-detail mode.
void NodeListParse(IMainWindow& window);
void DeviceDetailParse(IMainWindow& window);

namespace net_text {
inline constexpr const char* kNoDeviceFound = "No device found, please check network and IP address.";
}
