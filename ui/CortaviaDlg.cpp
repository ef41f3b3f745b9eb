#include "ui/CortaviaDlg.h"

#include "device/Device.h"
#include "net/Session.h"
#include "nodes/UpgradeCheck.h"
#include "platform/Controls.h"
#include "lan/HostInfo.h"
#include "lan/Workstation.h"
#include "platform/MessageBox.h"
#include "ui/AboutBox.h"
#include "ui/Artwork.h"
#include "ui/Template.h"
#include "wall/Wall.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QCheckBox>
#include <sys/socket.h>
#include <netinet/in.h>

namespace {
constexpr const char* kCaptionPrefix = "KAV PM3TA-PM3RA Control Center - ";
constexpr const char* kInitGroupIdError = "Init Group ID Error";

const int kDeviceButtons[] = {IDC_REBOOT, IDC_APPLY, IDC_FACTORY_DEFAULT, IDC_UPGRADE};
}  // namespace

CMyCortaviaDlg::CMyCortaviaDlg(QWidget* parent) : platform::CDialogBase(parent)
{
    m_hIcon = MakeWindowIcon();
    for (CMyAsyncSocket& s : m_sockets)
        s.SetWindow(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(QStringLiteral("KAV PM3TA-PM3RA Control Center "));
}

CMyCortaviaDlg::~CMyCortaviaDlg()
{
    qApp->removeEventFilter(this);
    // Sessions close slot 9 first, slot 0 last, as members are released in
    // reverse order.
    for (auto it = m_sockets.rbegin(); it != m_sockets.rend(); ++it)
        it->Close();
}

void CMyCortaviaDlg::Create()
{
    if (created_)
        return;
    CreateControls();
    OnInitDialog();
}

void CMyCortaviaDlg::CreateControls()
{
    if (created_)
        return;
    created_ = true;
    setFont(QFont(QStringLiteral("DejaVu Sans"), 8));
    CreateFromTemplate(kMainClientCx, kMainClientCy, main_template::kControls);
    SetTabOrder(main_template::kTabOrder);
    if (auto* logo = qobject_cast<QLabel*>(GetDlgItem(IDC_LOGO))) {
        // The picture is shown at its own size, not stretched to its frame.
        const QPixmap pixmap = MakeLogoPixmap();
        logo->setPixmap(pixmap);
        logo->resize(pixmap.size());
    }
    NameControlsForAssistiveTools();
    ConnectEvents();
    qApp->installEventFilter(this);
}

void CMyCortaviaDlg::NameControlsForAssistiveTools()
{
    // Screen readers and UI automation find controls by name: captioned
    // controls are named by their caption, the others by their label. Grid
    // buttons keep a name of their cell, as their caption changes.
    static const std::pair<int, const char*> kNames[] = {
        {IDC_HOSTNAME_ID, "Hostname ID"},
        {IDC_CHANNEL, "Channel"},
        {IDC_IP_ADDRESS, "IP Address"},
        {IDC_SUBNET_MASK, "Subnet Mask"},
        {IDC_GATEWAY, "Default Gateway"},
        {IDC_PROGRESS, "Progress"},
        {IDC_TX_LIST, "TX list"},
        {IDC_RX_LIST, "RX list"},
        {IDC_OW, "OW"},
        {IDC_VW, "VW"},
        {IDC_OH, "OH"},
        {IDC_VH, "VH"},
        {IDC_VERTICAL_COUNT, "Vertical Monitor Count"},
        {IDC_HORIZONTAL_COUNT, "Horizontal Monitor Count"},
        {IDC_STRETCH_TYPE, "Stretch Type"},
        {IDC_ROTATE, "Clockwise Rotate"},
        {IDC_LOGO, "Cortavia logo"},
        {IDC_QUICK_WALL, "Quick Video Wall"},
    };
    for (int id : ControlIds()) {
        QWidget* w = GetDlgItem(id);
        const QString caption = GetDlgItemText(id).trimmed();
        if (!caption.isEmpty())
            w->setAccessibleName(caption.endsWith(':') ? caption.chopped(1) : caption);
    }
    for (const auto& [id, name] : kNames)
        GetDlgItem(id)->setAccessibleName(QString::fromLatin1(name));
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 5; ++c)
            GetDlgItem(GridButtonId(r, c))->setAccessibleName(QStringLiteral("Grid %1_%2").arg(r).arg(c));
    static const std::pair<int, int> kBuddies[] = {
        {IDC_HOSTNAME_LABEL, IDC_HOSTNAME_ID},
        {IDC_CHANNEL_LABEL, IDC_CHANNEL},
        {IDC_IP_LABEL, IDC_IP_ADDRESS},
        {IDC_MASK_LABEL, IDC_SUBNET_MASK},
        {IDC_GATEWAY_LABEL, IDC_GATEWAY},
        {IDC_OW_LABEL, IDC_OW},
        {IDC_VW_LABEL, IDC_VW},
        {IDC_OH_LABEL, IDC_OH},
        {IDC_VH_LABEL, IDC_VH},
        {IDC_VERTICAL_LABEL, IDC_VERTICAL_COUNT},
        {IDC_HORIZONTAL_LABEL, IDC_HORIZONTAL_COUNT},
        {IDC_STRETCH_LABEL, IDC_STRETCH_TYPE},
        {IDC_ROTATE_LABEL, IDC_ROTATE},
        {IDC_QUICK_WALL_LABEL, IDC_QUICK_WALL},
    };
    for (const auto& [label, control] : kBuddies)
        if (auto* l = qobject_cast<QLabel*>(GetDlgItem(label)))
            l->setBuddy(GetDlgItem(control));
}

int CMyCortaviaDlg::DoModal()
{
    Create();
    return exec();
}

void CMyCortaviaDlg::ConnectEvents()
{
    auto clicked = [this](int id, auto handler) {
        if (auto* b = qobject_cast<QAbstractButton*>(GetDlgItem(id)))
            connect(b, &QAbstractButton::clicked, this, handler);
    };
    clicked(IDC_SCAN, [this] { Scan(*this); });
    for (int id : {IDC_AUTO_IP, IDC_DHCP, IDC_STATIC})
        clicked(id, [this] { IpModeClicked(*this); });
    clicked(IDC_APPLY, [this] { Apply(*this); });
    clicked(IDC_REBOOT, [this] { Reboot(*this); });
    clicked(IDC_FACTORY_DEFAULT, [this] { FactoryDefault(*this); });
    clicked(IDC_SHOW_OSD, [this] { ShowOsd(*this); });
    clicked(IDC_UPGRADE, [this] { Upgrade(*this); });
    clicked(IDC_QUICK_WALL, [this] { QuickLayout(*this); });
    connect(List(IDC_TX_LIST), &platform::ListView::Clicked, this, [this](int row) { DetailQuery(*this, true, row); });
    connect(List(IDC_RX_LIST), &platform::ListView::Clicked, this, [this](int row) { DetailQuery(*this, false, row); });
    // A row chosen with the keys is selected as a click selects it.
    connect(List(IDC_TX_LIST), &platform::ListView::SelectedByKey, this,
            [this](int row) { DetailQuery(*this, true, row); });
    connect(List(IDC_RX_LIST), &platform::ListView::SelectedByKey, this,
            [this](int row) { DetailQuery(*this, false, row); });
    connect(List(IDC_RX_LIST), &platform::ListView::BeginDrag, this, [this](int row) { BeginDrag(*this, row); });
    for (int id : {IDC_VERTICAL_COUNT, IDC_HORIZONTAL_COUNT})
        connect(Combo(id), &platform::ComboBox::SelectionChanged, this, [this] { ResizeWall(*this); });
    connect(Combo(IDC_STRETCH_TYPE), &platform::ComboBox::SelectionChanged, this, [this] { SendStretchType(*this); });
    connect(Combo(IDC_ROTATE), &platform::ComboBox::SelectionChanged, this, [this] { SendRotation(*this); });
}

bool CMyCortaviaDlg::UpdateData(bool saveAndValidate)
{
    platform::CDataExchange dx(*this, saveAndValidate);
    DoDataExchange(dx);
    return !dx.Failed();
}

void CMyCortaviaDlg::DoDataExchange(platform::CDataExchange& dx)
{
    using platform::DDX_Radio;
    using platform::DDX_Text;
    DDX_Text(dx, IDC_LAN_STATUS, m_strLanStatus);
    DDX_Text(dx, IDC_MAC, m_strMac);
    DDX_Radio(dx, IDC_AUTO_IP, m_nIpMode);
    DDX_Radio(dx, IDC_MULTICAST, m_nCastMode);
    DDX_Text(dx, IDC_HOSTNAME_ID, m_strHostnameId);
    DDX_Text(dx, IDC_VERSION, m_strVersion);
    DDX_Text(dx, IDC_OW, m_nOW);
    DDX_Text(dx, IDC_VW, m_nVW);
    DDX_Text(dx, IDC_OH, m_nOH);
    DDX_Text(dx, IDC_VH, m_nVH);
}

QString CMyCortaviaDlg::CaptionText()
{
    // The host name of a stock install resolves to 127.0.1.1, which tells
    // the operator nothing: loopback answers are skipped, and a card's
    // address stands in when the name gives no other.
    const std::string address = cv::lan::CaptionAddress(cv::lan::SystemHostInfo());
    return QString::fromUtf8(kCaptionPrefix) + QString::fromLatin1(address.c_str()).left(15);
}

void CMyCortaviaDlg::OnInitDialog()
{
    UpdateData(false);
    setWindowIcon(m_hIcon);
    setWindowTitle(CaptionText());

    platform::ComboBox* channel = Combo(IDC_CHANNEL);
    for (int i = 0; i < 100; ++i) {
        const int r = channel->AddString(QStringLiteral("%1").arg(i, 4, 10, QLatin1Char('0')));
        if (r == platform::CB_ERR || r == platform::CB_ERRSPACE)
            platform::MessageBox(this, QString::fromUtf8(kInitGroupIdError), platform::MB_OK | platform::MB_ICONERROR);
    }
    channel->SetCurSel(-1);
    for (int id : {IDC_VERTICAL_COUNT, IDC_HORIZONTAL_COUNT}) {
        platform::ComboBox* c = Combo(id);
        for (int n = 1; n <= 5; ++n)
            c->AddString(QString::number(n));
        c->SetCurSel(4);
    }
    Combo(IDC_STRETCH_TYPE)->AddString(QStringLiteral("Fit In"));
    Combo(IDC_STRETCH_TYPE)->AddString(QStringLiteral("Stretch Out"));
    Combo(IDC_STRETCH_TYPE)->SetCurSel(0);
    for (const char* r : {"0", "180", "270"})
        Combo(IDC_ROTATE)->AddString(QString::fromLatin1(r));
    Combo(IDC_ROTATE)->SetCurSel(0);

    platform::ListView* tx = List(IDC_TX_LIST);
    tx->InsertColumn(0, QStringLiteral("IP Address"), 95);
    tx->InsertColumn(1, QStringLiteral("Multicast"), 55);
    tx->InsertColumn(2, QStringLiteral("Channel"), 75);
    platform::ListView* rx = List(IDC_RX_LIST);
    rx->InsertColumn(0, QStringLiteral("IP Address"), 95);
    rx->InsertColumn(1, QStringLiteral("Multicast"), 55);
    rx->InsertColumn(2, QStringLiteral("Channel"), 55);
    rx->InsertColumn(3, QStringLiteral("OSD"), 35);
    rx->InsertColumn(4, QStringLiteral("Hostname ID"), 75);

    m_nLastClientCx = width();
    m_nLastClientCy = height();

    for (int id : {IDC_APPLY, IDC_REBOOT, IDC_FACTORY_DEFAULT, IDC_QUICK_WALL, IDC_UPGRADE})
        EnableWindow(id, false);
    if (QWidget* scan = GetDlgItem(IDC_SCAN))
        scan->setFocus(Qt::OtherFocusReason);
}

void CMyCortaviaDlg::OnTimer(int id)
{
    if (id < TIMER_SCAN || id > TIMER_UPGRADE)
        return;
    platform::ProgressBar* bar = Progress(IDC_PROGRESS);
    bar->DeltaPos(1);
    const int p = bar->GetPos();
    // Each timer enters the chain at its own step and runs every later one.
    if (id <= TIMER_SCAN && p == 4)
        KillTimer(TIMER_SCAN);
    if (id <= TIMER_SELECT && p == 4) {
        for (int b : kDeviceButtons)
            EnableWindow(b, true);
        KillTimer(TIMER_SELECT);
    }
    if (id <= TIMER_REBOOT && p == 25) {
        KillTimer(TIMER_REBOOT);
        RebootWaitEnded(*this);
    }
    if (id <= TIMER_UPGRADE) {
        const cv::nodes::UpgradeFailures f = cv::nodes::CheckUpgradeFailures(m_transcript);
        if (f.any()) {
            KillTimer(TIMER_UPGRADE);
            for (int b : kDeviceButtons)
                EnableWindow(b, true);
        }
        if (p == 500) {
            KillTimer(TIMER_UPGRADE);
            UpgradeWaitEnded(*this);
        }
    }
}

void CMyCortaviaDlg::OnSize(int sizeType, int cx, int cy)
{
    if (sizeType != SIZE_RESTORED && sizeType != SIZE_MAXIMIZED)
        return;
    if (m_nLastClientCx == 0 || m_nLastClientCy == 0) {
        m_nLastClientCx = cx;
        m_nLastClientCy = cy;
        return;
    }
    const float fx = static_cast<float>(cx) / static_cast<float>(m_nLastClientCx);
    const float fy = static_cast<float>(cy) / static_cast<float>(m_nLastClientCy);
    for (int id : ControlIds()) {
        QWidget* w = GetDlgItem(id);
        const QRect r = w->geometry();
        const int left = static_cast<int>(static_cast<float>(r.x()) * fx);
        const int right = static_cast<int>(static_cast<float>(r.x() + r.width()) * fx);
        const int top = static_cast<int>(static_cast<float>(r.y()) * fy);
        const int bottom = static_cast<int>(static_cast<float>(r.y() + r.height()) * fy);
        w->setGeometry(left, top, right - left, bottom - top);
    }
    m_nLastClientCx = cx;
    m_nLastClientCy = cy;
}

void CMyCortaviaDlg::resizeEvent(QResizeEvent* event)
{
    platform::CDialogBase::resizeEvent(event);
    if (created_)
        OnSize(isMinimized() ? SIZE_MINIMIZED : SIZE_RESTORED, width(), height());
}

void CMyCortaviaDlg::changeEvent(QEvent* event)
{
    platform::CDialogBase::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && created_)
        OnSize(isMinimized() ? SIZE_MINIMIZED : SIZE_RESTORED, width(), height());
}

bool CMyCortaviaDlg::eventFilter(QObject* watched, QEvent* event)
{
    // Enter is swallowed wherever the focus is in this window: it never
    // presses a button, closes the window or reaches an edit.
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            // Only this window's own controls: the About box and message
            // boxes keep Enter for their default buttons.
            auto* w = qobject_cast<QWidget*>(watched);
            if (w && w->window() == this)
                return true;
        }
    }
    return platform::CDialogBase::eventFilter(watched, event);
}

void CMyCortaviaDlg::mouseMoveEvent(QMouseEvent* event)
{
    if (m_bDragging)
        TrackDrag(*this, event->position().toPoint());
    platform::CDialogBase::mouseMoveEvent(event);
}

void CMyCortaviaDlg::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && m_bDragging)
        EndDrag(*this, event->position().toPoint());
    platform::CDialogBase::mouseReleaseEvent(event);
}

void CMyCortaviaDlg::contextMenuEvent(QContextMenuEvent* event)
{
    // Linux window managers keep the system menu to themselves; the About
    // item lives in the context menu of the window background instead.
    if (ControlFromPoint(event->pos()) != 0)
        return;
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("SystemMenu"));
    menu.addAction(QString::fromUtf8(kAboutMenuText), this, [this] { OnSysCommandAbout(); });
    menu.exec(event->globalPos());
}

void CMyCortaviaDlg::OnSysCommandAbout() { RunAboutBox(this); }

void CMyCortaviaDlg::NodeListParse() { ::NodeListParse(*this); }
void CMyCortaviaDlg::DeviceDetailParse() { ::DeviceDetailParse(*this); }
void CMyCortaviaDlg::UpgradeFailureCheck() { ::UpgradeFailureCheck(*this); }
