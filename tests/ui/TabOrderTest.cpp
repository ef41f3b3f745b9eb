// Tab, Shift+Tab and the arrow keys in the real window, pressed as a
// keyboard user presses them: every key goes to the widget with the focus.
#include "platform/Controls.h"
#include "tests/support/Keyboard.h"
#include "tests/support/TestSupport.h"
#include "ui/CortaviaDlg.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <gtest/gtest.h>

using testing_support::Press;
using testing_support::Type;

namespace {

class TabOrder : public ::testing::Test {
protected:
    void SetUp() override
    {
        dlg = testing_support::MakeMainWindow();
        ASSERT_TRUE(testing_support::ShowInFront(*dlg));
    }
    // The control that has the focus (an address control for its fields).
    int Focused() const { return dlg->ControlOf(QApplication::focusWidget()); }
    std::string FocusedName() const
    {
        QWidget* w = QApplication::focusWidget();
        return w ? w->objectName().toStdString() + " (" + w->accessibleName().toStdString() + ")" : "nothing";
    }
    // Every control a Tab could reach, enabled, as after a scan and a
    // selection of a device in Static mode.
    void EnableAll()
    {
        for (int id : dlg->ControlIds())
            dlg->EnableWindow(id, true);
    }
    std::vector<int> TabAround(Qt::KeyboardModifiers modifiers, size_t presses)
    {
        std::vector<int> seen;
        for (size_t i = 0; i < presses; ++i) {
            Press(Qt::Key_Tab, modifiers);
            seen.push_back(Focused());
        }
        return seen;
    }
    void Focus(int id) { dlg->GetDlgItem(id)->setFocus(Qt::OtherFocusReason); }
    void Check(int id) { qobject_cast<QAbstractButton*>(dlg->GetDlgItem(id))->click(); }

    std::unique_ptr<CMyCortaviaDlg> dlg;
};

// The window's reading order: the Network panel's button row left to right,
// the device info, then its three columns (TX list; Casting Mode above IP
// Mode; RX list), then the Video Wall panel top to bottom.
const std::vector<int> kReadingOrder = {
    IDC_SCAN,
    IDC_UPGRADE,
    IDC_FACTORY_DEFAULT,
    IDC_REBOOT,
    IDC_APPLY,
    IDC_HOSTNAME_ID,
    IDC_TX_LIST,
    IDC_MULTICAST,
    IDC_CHANNEL,
    IDC_AUTO_IP,
    IDC_IP_ADDRESS,
    IDC_SUBNET_MASK,
    IDC_GATEWAY,
    IDC_RX_LIST,
    IDC_OW,
    IDC_OH,
    IDC_VW,
    IDC_VH,
    IDC_VERTICAL_COUNT,
    IDC_HORIZONTAL_COUNT,
    IDC_SHOW_OSD,
    IDC_QUICK_WALL,
    IDC_STRETCH_TYPE,
    IDC_ROTATE,
};

}  // namespace

TEST_F(TabOrder, TabFollowsTheReadingOrderOfTheNetworkPanelThenTheVideoWallAndWrapsRound)
{
    EnableAll();
    ASSERT_EQ(Focused(), IDC_SCAN) << "the window opens with the focus on Scan";
    std::vector<int> expected(kReadingOrder.begin() + 1, kReadingOrder.end());
    expected.push_back(IDC_SCAN);
    EXPECT_EQ(TabAround(Qt::NoModifier, kReadingOrder.size()), expected);

    // Shift+Tab walks the same stops backwards.
    std::vector<int> backwards(kReadingOrder.rbegin(), kReadingOrder.rend());
    EXPECT_EQ(TabAround(Qt::ShiftModifier, kReadingOrder.size()), backwards);
}

TEST_F(TabOrder, EveryStopLiesBelowOrRightOfTheOneBeforeItWithinItsColumn)
{
    // Reading order as geometry: along the button row x grows; down a
    // column y grows; the Video Wall panel lies right of all the Network one.
    auto at = [&](int id) { return dlg->GetDlgItem(id)->geometry(); };
    for (int i = 1; i <= 4; ++i)
        EXPECT_GT(at(kReadingOrder[i]).left(), at(kReadingOrder[i - 1]).left()) << kReadingOrder[i];
    for (int id : {IDC_CHANNEL, IDC_AUTO_IP, IDC_IP_ADDRESS, IDC_SUBNET_MASK, IDC_GATEWAY})
        EXPECT_GT(at(id).top(), at(IDC_MULTICAST).top()) << id;
    EXPECT_GT(at(IDC_SUBNET_MASK).top(), at(IDC_IP_ADDRESS).top());
    EXPECT_GT(at(IDC_GATEWAY).top(), at(IDC_SUBNET_MASK).top());
    const int wallLeft = dlg->GetDlgItem(IDC_VIDEO_WALL_GROUP)->geometry().left();
    for (size_t i = 0; i < kReadingOrder.size(); ++i)
        EXPECT_EQ(at(kReadingOrder[i]).left() >= wallLeft, i >= 14) << kReadingOrder[i];
}

TEST_F(TabOrder, DisabledButtonsAndAddressFieldsArePassedAsTheWindowOpens)
{
    // Only Scan of the button row is enabled before a scan.
    EXPECT_EQ(TabAround(Qt::NoModifier, 1), std::vector<int>{IDC_HOSTNAME_ID}) << FocusedName();
    dlg->EnableWindow(IDC_IP_ADDRESS, false);
    dlg->EnableWindow(IDC_SUBNET_MASK, false);
    dlg->EnableWindow(IDC_GATEWAY, false);
    Focus(IDC_CHANNEL);
    EXPECT_EQ(TabAround(Qt::NoModifier, 2), (std::vector<int>{IDC_AUTO_IP, IDC_RX_LIST}));
}

TEST_F(TabOrder, ARadioGroupIsOneStopAndTabReachesItsCheckedButtonWithoutPressingIt)
{
    EnableAll();
    Check(IDC_STATIC);
    dlg->IpAddress(IDC_IP_ADDRESS)->SetAddressText("198.18.2.9");
    Focus(IDC_CHANNEL);
    Press(Qt::Key_Tab);
    EXPECT_EQ(Focused(), IDC_STATIC) << "the checked radio takes the focus, not the group's first";
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC), IDC_STATIC);
    EXPECT_EQ(dlg->IpAddress(IDC_IP_ADDRESS)->AddressText(), "198.18.2.9") << "reaching the group ran no handler";
    Press(Qt::Key_Tab);
    EXPECT_EQ(Focused(), IDC_IP_ADDRESS) << "one press leaves the group";
    Press(Qt::Key_Tab, Qt::ShiftModifier);
    EXPECT_EQ(Focused(), IDC_STATIC);
    Press(Qt::Key_Tab, Qt::ShiftModifier);
    EXPECT_EQ(Focused(), IDC_CHANNEL);

    // The casting group: nothing checked, so Tab reaches its first radio and
    // checks nothing; Space then picks it, the arrows move within.
    Focus(IDC_TX_LIST);
    Press(Qt::Key_Tab);
    EXPECT_EQ(Focused(), IDC_MULTICAST);
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_MULTICAST, IDC_UNICAST), 0);
    Press(Qt::Key_Space);
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_MULTICAST, IDC_UNICAST), IDC_MULTICAST);
    Press(Qt::Key_Right);
    EXPECT_EQ(Focused(), IDC_UNICAST);
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_MULTICAST, IDC_UNICAST), IDC_UNICAST);
    Press(Qt::Key_Tab);
    EXPECT_EQ(Focused(), IDC_CHANNEL) << "Tab leaves the group from the radio the arrow reached";
    Press(Qt::Key_Tab, Qt::ShiftModifier);
    EXPECT_EQ(Focused(), IDC_UNICAST);
}

TEST_F(TabOrder, ArrowsInTheIpModeGroupPressTheRadioAndTabThenSkipsTheFieldsItDisabled)
{
    EnableAll();
    Check(IDC_DHCP);
    Focus(IDC_CHANNEL);
    Press(Qt::Key_Tab);
    ASSERT_EQ(Focused(), IDC_DHCP);
    Press(Qt::Key_Down);
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC), IDC_STATIC);
    EXPECT_EQ(dlg->IpAddress(IDC_IP_ADDRESS)->AddressText(), "192.168.0.80") << "the IP-mode handler ran";
    Press(Qt::Key_Tab);
    EXPECT_EQ(Focused(), IDC_IP_ADDRESS);
    Press(Qt::Key_Tab, Qt::ShiftModifier);
    Press(Qt::Key_Down);  // wraps round to Auto IP, which disables the fields
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC), IDC_AUTO_IP);
    Press(Qt::Key_Tab);
    EXPECT_EQ(Focused(), IDC_RX_LIST);
}

TEST_F(TabOrder, TheGridCellsAreNoTabStops)
{
    EnableAll();
    Focus(IDC_QUICK_WALL);
    Press(Qt::Key_Tab);
    EXPECT_EQ(Focused(), IDC_STRETCH_TYPE);
    Press(Qt::Key_Tab, Qt::ShiftModifier);
    EXPECT_EQ(Focused(), IDC_QUICK_WALL);
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 5; ++c)
            EXPECT_EQ(dlg->GetDlgItem(GridButtonId(r, c))->focusPolicy(), Qt::NoFocus);
}

TEST_F(TabOrder, EachAddressControlIsOneStopSoANetmaskTypedAfterTabLandsInTheNetmask)
{
    EnableAll();
    Check(IDC_STATIC);  // fills 192.168.0.80, 255.255.255.0, 192.168.0.1
    Focus(IDC_STATIC);
    Press(Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), dlg->IpAddress(IDC_IP_ADDRESS)->Field(0));
    Type("198.19");
    Press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), dlg->IpAddress(IDC_SUBNET_MASK)->Field(0)) << FocusedName();
    Type("255.255.0.0");
    Press(Qt::Key_Tab);
    Type("198.19.0.1");
    Press(Qt::Key_Tab);
    EXPECT_EQ(Focused(), IDC_RX_LIST) << "three controls, three presses";
    EXPECT_EQ(dlg->IpAddress(IDC_IP_ADDRESS)->AddressText(), "198.19.0.80");
    EXPECT_EQ(dlg->IpAddress(IDC_SUBNET_MASK)->AddressText(), "255.255.0.0");
    EXPECT_EQ(dlg->IpAddress(IDC_GATEWAY)->AddressText(), "198.19.0.1");
    // Back through them: each Shift+Tab lands in a control's first field.
    Press(Qt::Key_Tab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), dlg->IpAddress(IDC_GATEWAY)->Field(0));
    Press(Qt::Key_Tab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), dlg->IpAddress(IDC_SUBNET_MASK)->Field(0));
}

TEST_F(TabOrder, AClickedControlThatIsNoStopHandsTabOnFromWhereItsGroupStands)
{
    EnableAll();
    // A radio clicked with the mouse takes the focus; Tab goes on from its group.
    QTest::mouseClick(dlg->GetDlgItem(IDC_UNICAST), Qt::LeftButton);
    ASSERT_EQ(Focused(), IDC_UNICAST);
    Press(Qt::Key_Tab);
    EXPECT_EQ(Focused(), IDC_CHANNEL);
    // A click into the third field of an address: Tab leaves the control.
    QTest::mouseClick(dlg->IpAddress(IDC_SUBNET_MASK)->Field(2), Qt::LeftButton);
    ASSERT_EQ(QApplication::focusWidget(), dlg->IpAddress(IDC_SUBNET_MASK)->Field(2));
    Press(Qt::Key_Tab);
    EXPECT_EQ(Focused(), IDC_GATEWAY);
    QTest::mouseClick(dlg->IpAddress(IDC_SUBNET_MASK)->Field(3), Qt::LeftButton);
    Press(Qt::Key_Tab, Qt::ShiftModifier);
    EXPECT_EQ(Focused(), IDC_IP_ADDRESS);
}
