#include "platform/Controls.h"
#include "lan/HostInfo.h"
#include "lan/Interfaces.h"
#include "tests/support/TestSupport.h"
#include "ui/CortaviaDlg.h"

#include <QHeaderView>
#include <QLineEdit>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>

using testing_support::MakeMainWindow;
using testing_support::ScriptedMessageBoxes;

namespace {

// Host name and resolver answers of a test's choosing, restored afterwards.
class FakeHost {
public:
    FakeHost(std::string name, std::vector<cv::lan::ResolvedAddress> answer)
    {
        cv::lan::HostInfo info;
        info.hostName = [name](char* buf, std::size_t len) {
            std::memset(buf, 0, len);
            if (name.size() + 1 > len)
                return -1;
            std::memcpy(buf, name.data(), name.size());
            return 0;
        };
        info.resolve = [this, answer](const std::string& n, int family, int socktype) {
            asked.push_back(n);
            families.push_back(family);
            socktypes.push_back(socktype);
            return answer;
        };
        previous_ = cv::lan::SetHostInfo(std::move(info));
    }
    ~FakeHost() { cv::lan::SetHostInfo(std::move(previous_)); }
    std::vector<std::string> asked;
    std::vector<int> families, socktypes;

private:
    cv::lan::HostInfo previous_;
};

}  // namespace

TEST(Caption, EndsWithTheLastAddressTheResolverGives)
{
    FakeHost host("studio-ws", {{AF_INET, "192.168.0.10"}, {AF_INET, "10.1.2.3"}});
    EXPECT_EQ(CMyCortaviaDlg::CaptionText(), "KAV PM3TA-PM3RA Control Center - 10.1.2.3");
    ASSERT_EQ(host.asked.size(), 1u);
    EXPECT_EQ(host.asked[0], "studio-ws");
    EXPECT_EQ(host.families[0], AF_INET);
    EXPECT_EQ(host.socktypes[0], SOCK_STREAM);
}

TEST(Caption, ResolvesAnEmptyNameWhenTheHostNameDoesNotFitTwentyBytes)
{
    FakeHost host(std::string(20, 'h'), {{AF_INET, "10.0.0.7"}});
    EXPECT_EQ(CMyCortaviaDlg::CaptionText(), "KAV PM3TA-PM3RA Control Center - 10.0.0.7");
    ASSERT_EQ(host.asked.size(), 1u);
    EXPECT_EQ(host.asked[0], "");
    FakeHost fits(std::string(19, 'h'), {});
    CMyCortaviaDlg::CaptionText();
    EXPECT_EQ(fits.asked.at(0), std::string(19, 'h'));
}

TEST(Caption, SkipsLoopbackAnswersAsAStockInstallGivesThem)
{
    FakeHost host("ws", {{AF_INET, "127.0.1.1"}, {AF_INET, "10.1.2.3"}, {AF_INET6, "fe80::1"}, {AF_INET, "127.0.0.1"}});
    EXPECT_EQ(CMyCortaviaDlg::CaptionText(), "KAV PM3TA-PM3RA Control Center - 10.1.2.3");
}

TEST(Caption, FallsBackToACardAddressWhenTheNameGivesOnlyLoopback)
{
    FakeHost host("ws", {{AF_INET, "127.0.1.1"}});
    const std::vector<std::string> cards = cv::lan::UpInterfaceAddresses();
    const std::string expected = cards.empty() ? std::string() : cards.back();
    EXPECT_EQ(CMyCortaviaDlg::CaptionText().toStdString(), "KAV PM3TA-PM3RA Control Center - " + expected);
}

TEST(Opening, ShowsEveryControlInItsInitialState)
{
    ScriptedMessageBoxes boxes;
    auto dlg = MakeMainWindow();
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_TRUE(dlg->windowTitle().startsWith("KAV PM3TA-PM3RA Control Center - "));

    EXPECT_EQ(dlg->GetDlgItemText(IDC_LAN_STATUS), "Lan Status: ");
    EXPECT_EQ(dlg->GetDlgItemText(IDC_MAC), "MAC Address: ")
        << "the bound text replaces the layout's \"Mac Address: \"";
    EXPECT_EQ(dlg->GetDlgItemText(IDC_VERSION), "Version: ");
    EXPECT_EQ(dlg->GetDlgItemText(IDC_HOSTNAME_ID), "");
    for (int id : {IDC_OW, IDC_OH, IDC_VW, IDC_VH})
        EXPECT_EQ(dlg->GetDlgItemText(id), "1");
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_MULTICAST, IDC_STATIC), 0);
    for (int id : {IDC_IP_ADDRESS, IDC_SUBNET_MASK, IDC_GATEWAY})
        EXPECT_TRUE(dlg->IpAddress(id)->IsBlank());

    platform::ComboBox* channel = dlg->Combo(IDC_CHANNEL);
    ASSERT_EQ(channel->GetCount(), 100);
    EXPECT_EQ(channel->GetLBText(0), "0000");
    EXPECT_EQ(channel->GetLBText(99), "0099");
    EXPECT_EQ(channel->GetCurSel(), -1);
    EXPECT_EQ(dlg->Combo(IDC_VERTICAL_COUNT)->GetCurSel(), 4);
    EXPECT_EQ(dlg->Combo(IDC_HORIZONTAL_COUNT)->GetLBText(4), "5");
    EXPECT_EQ(dlg->Combo(IDC_STRETCH_TYPE)->GetLBText(dlg->Combo(IDC_STRETCH_TYPE)->GetCurSel()), "Fit In");
    platform::ComboBox* rotate = dlg->Combo(IDC_ROTATE);
    ASSERT_EQ(rotate->GetCount(), 3) << "no 90-degree entry";
    EXPECT_EQ(rotate->GetLBText(1), "180");
    EXPECT_EQ(rotate->GetLBText(2), "270");

    for (int id : {IDC_APPLY, IDC_REBOOT, IDC_FACTORY_DEFAULT, IDC_UPGRADE, IDC_QUICK_WALL})
        EXPECT_FALSE(dlg->IsWindowEnabled(id)) << id;
    EXPECT_TRUE(dlg->IsWindowEnabled(IDC_SCAN));
    EXPECT_EQ(dlg->GetDlgItemText(IDC_QUICK_WALL), "5 x 5");
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 5; ++c) {
            EXPECT_TRUE(dlg->IsWindowVisible(GridButtonId(r, c)));
            EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(r, c)), QStringLiteral("%1_%2").arg(r).arg(c));
        }
    EXPECT_EQ(dlg->List(IDC_TX_LIST)->model()->columnCount(), 3);
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->model()->headerData(4, Qt::Horizontal).toString(), "Hostname ID");
    platform::ListView* rx = dlg->List(IDC_RX_LIST);
    // The columns read whole, so together they outgrow the list, which
    // scrolls sideways; the last one still starts in view.
    EXPECT_LT(rx->header()->sectionPosition(4), rx->VisibleWidth()) << "every RX column starts in view";
    EXPECT_NEAR(double(rx->columnWidth(0)) / rx->columnWidth(3), 95.0 / 35.0, 0.15) << "in the layout's proportions";
    EXPECT_EQ(dlg->Progress(IDC_PROGRESS)->GetPos(), 0);
    EXPECT_EQ(dlg->m_nLastClientCx, dlg->width());
    EXPECT_GT(dlg->m_nLastClientCy, 0);
}

TEST(Opening, ReportsEveryChannelTheComboRefusesAndStillOpens)
{
    ScriptedMessageBoxes boxes;
    CMyCortaviaDlg dlg;
    dlg.CreateControls();
    dlg.Combo(IDC_CHANNEL)->SetCapacity(97);
    dlg.OnInitDialog();
    ASSERT_EQ(boxes.Shown().size(), 3u);
    for (const auto& box : boxes.Shown()) {
        EXPECT_EQ(box.text, "Init Group ID Error");
        EXPECT_EQ(box.flags, platform::MB_OK | platform::MB_ICONERROR);
    }
    EXPECT_EQ(dlg.Combo(IDC_CHANNEL)->GetCount(), 97);
    EXPECT_EQ(dlg.Combo(IDC_VERTICAL_COUNT)->GetCount(), 5);
}

TEST(Opening, KeepsTheLayoutProportionsOfTheTemplate)
{
    auto dlg = MakeMainWindow();
    // The TX list is 144 x 216 dialog units, the whole window 721 x 386.
    const QRect list = dlg->GetDlgItem(IDC_TX_LIST)->geometry();
    const double listRatio = double(list.width()) / list.height();
    const double units = (144.0 / 4 * dlg->Units().baseX) / (216.0 / 8 * dlg->Units().baseY);
    EXPECT_NEAR(listRatio, units, 0.02);
    // The grid keeps its 5 x 5 matrix: 1_0 lies below 0_0 and 0_1 to its right.
    const QRect a = dlg->GetDlgItem(GridButtonId(0, 0))->geometry();
    EXPECT_GT(dlg->GetDlgItem(GridButtonId(1, 0))->geometry().top(), a.bottom());
    EXPECT_GT(dlg->GetDlgItem(GridButtonId(0, 1))->geometry().left(), a.right());
    EXPECT_TRUE(dlg->rect().contains(dlg->GetDlgItem(GridButtonId(4, 4))->geometry()));
}

TEST(Opening, WalksRadioGroupsInTemplateOrderUpToTheNextGroup)
{
    auto dlg = MakeMainWindow();
    EXPECT_EQ(dlg->RadioGroup(IDC_MULTICAST), (std::vector<int>{IDC_MULTICAST, IDC_UNICAST}));
    EXPECT_EQ(dlg->RadioGroup(IDC_AUTO_IP), (std::vector<int>{IDC_AUTO_IP, IDC_DHCP, IDC_STATIC}));
}

TEST(Opening, ClosesEveryOpenSessionWhenTheWindowGoesAway)
{
    auto dlg = MakeMainWindow();
    dlg->Slot(0).Create();
    dlg->Slot(9).Create();
    const int fd0 = dlg->Slot(0).Handle();
    ASSERT_GE(fd0, 0);
    dlg.reset();
    EXPECT_EQ(::fcntl(fd0, F_GETFD), -1) << "slot 0's handle must be closed";
}

TEST(Accessibility, NamesEveryControlThatAPersonCanReach)
{
    auto dlg = MakeMainWindow();
    EXPECT_EQ(dlg->GetDlgItem(IDC_SCAN)->accessibleName(), "Scan");
    EXPECT_EQ(dlg->GetDlgItem(IDC_HOSTNAME_ID)->accessibleName(), "Hostname ID");
    EXPECT_EQ(dlg->GetDlgItem(IDC_RX_LIST)->accessibleName(), "RX list");
    EXPECT_EQ(dlg->GetDlgItem(GridButtonId(3, 1))->accessibleName(), "Grid 3_1");
    EXPECT_EQ(dlg->GetDlgItem(IDC_FACTORY_DEFAULT)->accessibleName(), "Factory Default");
    for (int id : dlg->ControlIds()) {
        const platform::Kind k = dlg->KindOf(id);
        if (k == platform::Kind::GroupBox || k == platform::Kind::Static)
            continue;
        EXPECT_FALSE(dlg->GetDlgItem(id)->accessibleName().isEmpty()) << "control " << id;
    }
}

TEST(Opening, ChainsTheFocusInTabOrderStartingAtScanForWhateverWalksIt)
{
    auto dlg = MakeMainWindow();
    const std::vector<int>& tabStops = dlg->TabOrder();
    ASSERT_FALSE(tabStops.empty());
    EXPECT_EQ(tabStops.front(), IDC_SCAN);
    // A radio group is one stop, its first radio; the grid cells are none.
    EXPECT_EQ(std::count(tabStops.begin(), tabStops.end(), IDC_MULTICAST), 1);
    for (int id : {int(IDC_UNICAST), int(IDC_DHCP), int(IDC_STATIC), GridButtonId(0, 0), GridButtonId(4, 4)}) {
        EXPECT_EQ(std::count(tabStops.begin(), tabStops.end(), id), 0) << id;
        EXPECT_FALSE(dlg->GetDlgItem(id)->focusPolicy() & Qt::TabFocus) << id;
    }
    // Qt's focus chain (which assistive tools follow) runs the same way.
    std::vector<int> chain;
    QWidget* w = dlg->GetDlgItem(IDC_SCAN);
    for (size_t guard = 0; guard < 1000 && chain.size() < tabStops.size(); ++guard) {
        const int id = dlg->GetDlgCtrlID(w);
        if (id != 0 && (w->focusPolicy() & Qt::TabFocus) && std::find(chain.begin(), chain.end(), id) == chain.end())
            chain.push_back(id);
        w = w->nextInFocusChain();
    }
    EXPECT_EQ(chain, tabStops);
}
