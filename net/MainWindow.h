#pragma once
// What the operations below the window need of it: its members, its
// controls by ID and timers, its session slots and data exchange. The
// window implements this; no lower layer includes a window header.
#include "net/MyAsyncSocket.h"
#include "net/Resource.h"
#include "nodes/DeviceDetails.h"
#include "nodes/NodeList.h"
#include "nodes/Transcript.h"

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>

namespace platform {
class CDialogBase;
}

// Where the endpoint of the last Reboot is looked for when its wait ends:
// at the address it was rebooted at, at the new static address Apply gave
// it, or at its old address knowing it may have moved (Auto IP, DHCP,
// factory defaults).
enum class RebootComeback { SameAddress, NewStaticAddress, MayHaveMoved };

// Members of the main window, in declaration order.
struct DialogMembers {
    cv::nodes::Transcript m_transcript;  // session transcript
    int m_nIpMode = -1;  // 0 Auto IP, 1 DHCP, 2 Static, -1 none
    int m_nCastMode = -1;  // 0 Multicast, 1 Unicast, -1 none
    int m_nRecordedCastRadio = 0;  // 1012, 1013 or 0
    int m_nRecordedIpRadio = 0;  // 1014 to 1016 or 0
    int m_bChannelChanged = 0;
    int m_nDragRow = 0;
    int m_bTxSelected = 0;
    int m_bDragging = 0;
    int m_bUpgradeWatch = 0;
    int m_bDetailMode = 0;  // 0 node listing, 1 device detail
    int m_nLastClientCx = 0;
    int m_nLastClientCy = 0;
    QString m_strNodeAddress;  // selected node address
    QString m_strNetmask;
    QString m_strGateway;
    QString m_strLanStatus = QStringLiteral("Lan Status: ");
    QString m_strMac = QStringLiteral("MAC Address: ");
    QString m_strIpModeText;
    QString m_strMulticast;
    QString m_strChannel;
    QString m_strDragLabel;
    QString m_strHostnameId;
    QString m_strRecordedHostnameId;  // last read from the device or applied; Apply compares with it
    QString m_strVersion = QStringLiteral("Version: ");
    QString m_strListMulticast;
    uint32_t m_nOW = 1;
    uint32_t m_nVW = 1;
    uint32_t m_nOH = 1;
    uint32_t m_nVH = 1;
    // Drag of an RX row onto the wall grid.
    QPointer<QWidget> m_pDragImage;  // follows the cursor over the screen
    int m_nDropTarget = 0;  // control ID under the cursor, 0 for none
    QPoint m_ptDrag;  // scratch cursor position
    // Parse caches: an arrival re-reads only what changed in the transcript.
    cv::nodes::NodeListParser m_nodeListParser;
    cv::nodes::DeviceDetailsParser m_detailsParser;
    std::shared_ptr<const cv::nodes::NodeList> m_shownNodeList;
    // The details last shown and their channel text, converted once: behind
    // a flood the channel is megabytes, and every later arrival shows the
    // same details again.
    std::shared_ptr<const cv::nodes::DeviceDetails> m_shownDetails;
    QString m_shownChannel;
    // Where the last Reboot and Upgrade went, and the checks that the
    // endpoint came back when their waits end.
    QString m_strRebootTarget;
    // The MAC read before each, which alone says that what answers is it.
    QString m_strRebootMac, m_strUpgradeMac;
    RebootComeback m_rebootComeback = RebootComeback::SameAddress;
    QString m_strUpgradeTarget;
    std::unique_ptr<QObject> m_pRebootCheck;
    std::unique_ptr<QObject> m_pUpgradeCheck;
};

class IMainWindow {
public:
    virtual ~IMainWindow() = default;

    virtual DialogMembers& Members() = 0;
    virtual platform::CDialogBase& Dialog() = 0;
    // Session slots 0 to 9; slot 0 is the scan socket.
    virtual CMyAsyncSocket& Slot(int index) = 0;
    // true reads the controls into the members, false pushes the members
    // into the controls.
    virtual bool UpdateData(bool saveAndValidate) = 0;

    // The three readers of the transcript, run after every arrival.
    virtual void NodeListParse() = 0;
    virtual void DeviceDetailParse() = 0;
    virtual void UpgradeFailureCheck() = 0;
};
