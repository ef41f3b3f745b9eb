// Static addresses typed and pasted into the real window as a keyboard user
// does, then Apply against a simulated receiver in the test LAN: the
// simulator's wire log shows what the typing put on the wire.
#include "SimProcess.h"
#include "device/Device.h"
#include "lan/HostInfo.h"
#include "platform/Controls.h"
#include "tests/support/FieldLan.h"
#include "tests/support/Keyboard.h"
#include "tests/support/TestSupport.h"
#include "ui/CortaviaDlg.h"

#include <QClipboard>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <regex>

using cv::sim::SimProcess;
using testing_support::Press;
using testing_support::PumpEvents;
using testing_support::PumpUntil;
using testing_support::Type;

namespace {

const QString kRebootQuestion = "Warning: Reboot for new settings to take effect?";
const QString kIncomplete = "Fill in all four numbers of the IP address, the subnet mask and the default gateway.";

class AddressKeys : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousHost = cv::lan::SetHostInfo({[](char* buf, std::size_t len) {
                                                 std::snprintf(buf, len, "workstation");
                                                 return 0;
                                             },
                                             [](const std::string&, int, int) {
                                                 return std::vector<cv::lan::ResolvedAddress>{{AF_INET, "198.18.0.1"}};
                                             }});
        sim = std::make_unique<SimProcess>(
            std::vector<std::string>{"--node",
                                     "rx ip=198.18.2.1 hostname_id=rx-001 channel=0003 multicast=y ip_mode=dhcp "
                                     "netmask=255.255.0.0 gateway=198.18.0.1"});
        ASSERT_TRUE(sim->start()) << sim->error();
        dlg = testing_support::MakeMainWindow();
        testing_support::SelectEndpoint(*dlg, *sim, false, kIp);
        ASSERT_TRUE(testing_support::ShowInFront(*dlg));
        boxes.Clear();
        // The mouse picks Static (its handler suggests the endpoint's own
        // 198.18.2.1, 255.255.0.0, 198.18.0.1); from there the keyboard
        // does the rest. Typed addresses stay in this workstation's subnet,
        // so no question about them comes first.
        QTest::mouseClick(dlg->GetDlgItem(IDC_STATIC), Qt::LeftButton);
        ASSERT_EQ(dlg->GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC), IDC_STATIC);
        Press(Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), dlg->IpAddress(IDC_IP_ADDRESS)->Field(0));
    }
    void TearDown() override { cv::lan::SetHostInfo(previousHost); }

    std::string Sent() const { return sim->wireBytes(kIp).substr(testing_support::kDetailLines.size()); }
    void PressApply() { QTest::mouseClick(dlg->GetDlgItem(IDC_APPLY), Qt::LeftButton); }
    static std::string StaticLines(const std::string& address, const std::string& mask, const std::string& gateway)
    {
        return "astparam s ipaddr " + address + "\r\nastparam s netmask " + mask + "\r\nastparam s gatewayip " +
            gateway + "\r\nastparam s ip_mode static\r\nastparam save\r\n";
    }
    // Every address line on the wire holds four numbers of 0 to 255.
    static void ExpectOnlyWellFormedAddresses(const std::string& wire)
    {
        static const std::regex line("astparam s (ipaddr|netmask|gatewayip) ([^\r]*)\r\n");
        static const std::regex quad(
            "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])(\\.(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])){3}");
        int lines = 0;
        for (auto it = std::sregex_iterator(wire.begin(), wire.end(), line); it != std::sregex_iterator(); ++it) {
            ++lines;
            EXPECT_TRUE(std::regex_match((*it)[2].str(), quad)) << (*it)[0].str();
        }
        EXPECT_EQ(lines, 3) << wire;
    }

    static inline const std::string kIp = "198.18.2.1";
    testing_support::ScriptedMessageBoxes boxes;  // the reboot question is answered No
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<CMyCortaviaDlg> dlg;
    cv::lan::HostInfo previousHost;
};

}  // namespace

TEST_F(AddressKeys, ThreeAddressesTypedWithTabBetweenThemReachTheWireAsTyped)
{
    Type("198.18.9.57");
    Press(Qt::Key_Tab);
    Type("255.255.0.0");
    Press(Qt::Key_Tab);
    Type("198.19.0.1");
    PressApply();
    const std::string expected = StaticLines("198.18.9.57", "255.255.0.0", "198.19.0.1");
    EXPECT_TRUE(PumpUntil([&] { return Sent().size() >= expected.size(); }));
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kRebootQuestion});
}

TEST_F(AddressKeys, LettersExtraDotsAndOctetsAbove255NeverReachTheWire)
{
    Type("x198..18.a9...300");  // the last octet stops at 30
    Press(Qt::Key_Tab);
    Type("255.255.255.256");  // 25, then the user corrects it
    Press(Qt::Key_Backspace);
    Press(Qt::Key_Backspace);
    Type("0");
    Press(Qt::Key_Tab);
    // Garbage pasted into the gateway changes nothing; an address fills it.
    for (const char* garbage : {"198.18.0.1; reboot", "198.18.0.256", "1.2.3", "\r\nreboot\r\n", "gateway"}) {
        QGuiApplication::clipboard()->setText(QString::fromLatin1(garbage));
        Press(Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(dlg->IpAddress(IDC_GATEWAY)->AddressText(), "198.18.0.1") << garbage;
    }
    QGuiApplication::clipboard()->setText("198.19.0.1");
    Press(Qt::Key_V, Qt::ControlModifier);
    PressApply();
    const std::string expected = StaticLines("198.18.9.30", "255.255.255.0", "198.19.0.1");
    EXPECT_TRUE(PumpUntil([&] { return Sent().size() >= expected.size(); }));
    EXPECT_EQ(Sent(), expected);
    ExpectOnlyWellFormedAddresses(Sent());
}

TEST_F(AddressKeys, AnAddressWithABlankNumberIsRefusedAndNothingIsSent)
{
    Type("198.18.");  // the dot selects the third field's 2
    Press(Qt::Key_Delete);  // and Delete empties it: 198.18. .1
    ASSERT_EQ(dlg->IpAddress(IDC_IP_ADDRESS)->FilledFields(), 3);
    PressApply();
    PumpEvents(300);
    EXPECT_EQ(Sent(), "");
    ASSERT_EQ(boxes.Texts(), std::vector<QString>{kIncomplete});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONWARNING);

    // Filled in, the same Apply goes out.
    boxes.Clear();
    QTest::mouseClick(dlg->IpAddress(IDC_IP_ADDRESS)->Field(2), Qt::LeftButton);
    Type("9");
    PressApply();
    const std::string expected = StaticLines("198.18.9.1", "255.255.0.0", "198.18.0.1");
    EXPECT_TRUE(PumpUntil([&] { return Sent().size() >= expected.size(); }));
    EXPECT_EQ(Sent(), expected);
}

TEST_F(AddressKeys, BackspaceWalksBackThroughEveryFieldAndTheAddressTypedAfterwardsGoesOut)
{
    QTest::mouseClick(dlg->IpAddress(IDC_IP_ADDRESS)->Field(3), Qt::LeftButton);
    Press(Qt::Key_End);
    // 198.18.2.1: seven digits and three steps back, and a few more.
    for (int i = 0; i < 16; ++i)
        Press(Qt::Key_Backspace);
    EXPECT_TRUE(dlg->IpAddress(IDC_IP_ADDRESS)->IsBlank());
    EXPECT_EQ(QApplication::focusWidget(), dlg->IpAddress(IDC_IP_ADDRESS)->Field(0));
    Type("198.18.9.57");
    EXPECT_EQ(dlg->IpAddress(IDC_IP_ADDRESS)->AddressText(), "198.18.9.57");
    PressApply();
    const std::string expected = StaticLines("198.18.9.57", "255.255.0.0", "198.18.0.1");
    EXPECT_TRUE(PumpUntil([&] { return Sent().size() >= expected.size(); }));
    EXPECT_EQ(Sent(), expected);
}
