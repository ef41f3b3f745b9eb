#pragma once
// Command sessions to the endpoints' shells and the operations that read
// what they answer: Scan, discovery, the detail query, the receive pipeline.
#include "net/MainWindow.h"

#include <QString>
#include <QStringView>
#include <cstddef>
#include <optional>
#include <string_view>

class QWidget;

// Close, create, and start a connection to port 24; never waits.
void OpenCommandSession(CMyAsyncSocket& socket, const QString& address);

// Encodes a line as the firmware vocabulary does (nodes::WireBytes) and
// sends it as one send, with its terminating zero when asked. A line that
// would not fit its buffer is not sent at all and counts as a failed send.
int SendLine(CMyAsyncSocket& socket, const QString& line, std::size_t bufferSize, bool withZero = false);
int SendLine(CMyAsyncSocket& socket, std::u16string_view line, std::size_t bufferSize, bool withZero = false);

// The device the operator chose: the selected row of the TX or the RX list.
struct SelectedDevice {
    QString address;
    bool tx = false;
    int row = -1;
};
std::optional<SelectedDevice> FindSelectedDevice(IMainWindow& window);
// Makes the selected device the one the next lines go to: its address is
// the selected node address, and when the scan socket's last session went
// to another endpoint (a Scan, a drop, a quick layout, Show OSD) a session
// to it is opened first, as a row click opens one: 20 ms, the login line,
// 20 ms. Returns the scan socket.
CMyAsyncSocket& SessionToSelected(IMainWindow& window, const SelectedDevice& device);

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
