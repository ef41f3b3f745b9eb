// The same change made with the window's Apply and with cortavia-cli set
// puts the same bytes on the wire: both send from one list of lines.
#include "SimProcess.h"
#include "cli/Cli.h"
#include "device/Device.h"
#include "net/Session.h"
#include "platform/Controls.h"
#include "tests/support/TestSupport.h"
#include "ui/CortaviaDlg.h"

#include <gtest/gtest.h>

#include <sstream>

using cv::sim::SimProcess;
using testing_support::MakeMainWindow;
using testing_support::PumpEvents;
using testing_support::PumpUntil;
using testing_support::ScriptedMessageBoxes;

TEST(ApplyWire, WindowApplyAndCliSetSendIdenticalBytes)
{
    // Two identical receivers: one changed by the window, one by the CLI.
    const std::string spec = " hostname_id=rx-001 channel=0003 multicast=y ip_mode=autoip";
    SimProcess sim({"--node", "rx ip=198.18.2.1" + spec, "--node", "rx ip=198.18.2.2" + spec});
    ASSERT_TRUE(sim.start()) << sim.error();

    ScriptedMessageBoxes boxes;
    auto dlg = MakeMainWindow();
    platform::ListView* rx = dlg->List(IDC_RX_LIST);
    rx->InsertItem(0, "198.18.2.1");
    rx->SetSelectedRow(0);
    DetailQuery(*dlg, false, 0);
    ASSERT_TRUE(PumpUntil([&] { return dlg->GetDlgItemText(IDC_VERSION) != "Version: "; }));
    ASSERT_TRUE(PumpUntil([&] { return !dlg->IsTimerRunning(TIMER_SELECT); }));
    PumpEvents(100);
    dlg->SetDlgItemText(IDC_HOSTNAME_ID, "lobby-7");
    dlg->CheckRadioButton(IDC_MULTICAST, IDC_UNICAST, IDC_UNICAST);
    dlg->Combo(IDC_CHANNEL)->SetCurSel(42);
    dlg->CheckRadioButton(IDC_AUTO_IP, IDC_STATIC, IDC_DHCP);
    boxes.Answer(platform::IDNO);  // the reboot question
    Apply(*dlg);
    ASSERT_TRUE(sim.waitForEvent("198.18.2.1", "cmd astparam s ip_mode dhcp"));
    PumpEvents(300);

    std::ostringstream out, err;
    ASSERT_EQ(cv::cli::Run({"set", "198.18.2.2", "--hostname", "lobby-7", "--unicast", "--channel", "0042", "--dhcp"},
                           out, err),
              0)
        << err.str();

    const auto window = sim.connectionBytes("198.18.2.1");
    const auto cli = sim.connectionBytes("198.18.2.2");
    ASSERT_EQ(window.size(), 1u);
    ASSERT_GE(cli.size(), 1u);
    EXPECT_EQ(cli[0], window[0]);
    EXPECT_NE(window[0].find(std::string("e e_reconnect::0042\r\n\0", 22)), std::string::npos);
}
