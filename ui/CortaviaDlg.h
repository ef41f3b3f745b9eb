#pragma once
// The main window: all controls, all state, and the event table that hands
// each event to its operation.
#include "net/MainWindow.h"
#include "platform/DataExchange.h"
#include "platform/Dialog.h"

#include <QIcon>
#include <array>

class CMyCortaviaDlg : public platform::CDialogBase, public DialogMembers, public IMainWindow {
    Q_OBJECT
public:
    explicit CMyCortaviaDlg(QWidget* parent = nullptr);
    ~CMyCortaviaDlg() override;

    // Builds the controls and runs the opening sequence; DoModal does both
    // and then runs the window until it closes.
    void Create();
    int DoModal();
    // The first half of Create: the controls without the opening sequence.
    void CreateControls();

    // IMainWindow
    DialogMembers& Members() override { return *this; }
    platform::CDialogBase& Dialog() override { return *this; }
    CMyAsyncSocket& Slot(int index) override { return m_sockets.at(static_cast<size_t>(index)); }
    bool UpdateData(bool saveAndValidate) override;
    void NodeListParse() override;
    void DeviceDetailParse() override;
    void UpgradeFailureCheck() override;

    // Handlers reached from the event table; public so that tests can
    // drive them as the platform would.
    virtual void OnInitDialog();
    void OnTimer(int id) override;
    void OnSize(int sizeType, int cx, int cy);

    // Builds the caption text from the workstation's address.
    static QString CaptionText();

    QIcon m_hIcon;
    std::array<CMyAsyncSocket, kSessionSlots> m_sockets;

    enum SizeType { SIZE_RESTORED = 0, SIZE_MINIMIZED = 1, SIZE_MAXIMIZED = 2 };

protected:
    virtual void DoDataExchange(platform::CDataExchange& dx);
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void ConnectEvents();
    void NameControlsForAssistiveTools();
    void OnSysCommandAbout();
    bool created_ = false;
};
