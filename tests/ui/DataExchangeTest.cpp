#include "platform/MessageBox.h"
#include "tests/support/TestSupport.h"
#include "ui/CortaviaDlg.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <gtest/gtest.h>

using testing_support::MakeMainWindow;
using testing_support::ScriptedMessageBoxes;

TEST(RadioBinding, ChecksThePositionInTheGroupInBothDirections)
{
    auto dlg = MakeMainWindow();
    dlg->m_nIpMode = 2;
    dlg->m_nCastMode = 0;
    dlg->UpdateData(false);
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC), IDC_STATIC);
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_MULTICAST, IDC_UNICAST), IDC_MULTICAST);

    dlg->CheckRadioButton(IDC_AUTO_IP, IDC_STATIC, IDC_DHCP);
    dlg->CheckRadioButton(IDC_MULTICAST, IDC_UNICAST, IDC_UNICAST);
    ASSERT_TRUE(dlg->UpdateData(true));
    EXPECT_EQ(dlg->m_nIpMode, 1);
    EXPECT_EQ(dlg->m_nCastMode, 1);

    dlg->m_nIpMode = -1;
    dlg->UpdateData(false);
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC), 0);
    ASSERT_TRUE(dlg->UpdateData(true));
    EXPECT_EQ(dlg->m_nIpMode, -1);
}

TEST(RadioBinding, AClickChecksOnlyWithinItsOwnGroup)
{
    auto dlg = MakeMainWindow();
    dlg->CheckDlgButton(IDC_MULTICAST, 1);
    qobject_cast<QAbstractButton*>(dlg->GetDlgItem(IDC_STATIC))->click();
    qobject_cast<QAbstractButton*>(dlg->GetDlgItem(IDC_DHCP))->click();
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC), IDC_DHCP);
    EXPECT_EQ(dlg->IsDlgButtonChecked(IDC_STATIC), 0);
    EXPECT_EQ(dlg->IsDlgButtonChecked(IDC_MULTICAST), 1);
}

TEST(NumberBinding, ReadsTheBezelEditsByTheUnsignedRule)
{
    ScriptedMessageBoxes boxes;
    auto dlg = MakeMainWindow();
    dlg->SetDlgItemText(IDC_OW, "12abc");
    dlg->SetDlgItemText(IDC_VW, " 7");
    dlg->SetDlgItemText(IDC_OH, "-1");
    dlg->SetDlgItemText(IDC_VH, "6800");
    EXPECT_TRUE(dlg->UpdateData(true));
    EXPECT_EQ(dlg->m_nOW, 12u);
    EXPECT_EQ(dlg->m_nVW, 7u);
    EXPECT_EQ(dlg->m_nOH, 4294967295u);
    EXPECT_EQ(dlg->m_nVH, 6800u);
    EXPECT_TRUE(boxes.Shown().empty());
    dlg->UpdateData(false);
    EXPECT_EQ(dlg->GetDlgItemText(IDC_OW), "12");
}

TEST(NumberBinding, StopsAtAnEditWithoutANumberAndLeavesLaterBindingsUnread)
{
    for (const QString& bad : {QString(), QStringLiteral("abc")}) {
        ScriptedMessageBoxes boxes;
        auto dlg = MakeMainWindow();
        dlg->show();
        dlg->SetDlgItemText(IDC_OW, "100");
        dlg->SetDlgItemText(IDC_VW, bad);
        dlg->SetDlgItemText(IDC_OH, "300");
        dlg->SetDlgItemText(IDC_VH, "400");
        EXPECT_FALSE(dlg->UpdateData(true));
        EXPECT_EQ(dlg->m_nOW, 100u);
        EXPECT_EQ(dlg->m_nVW, 1u);
        EXPECT_EQ(dlg->m_nOH, 1u) << "bindings after the failure are not read";
        EXPECT_EQ(dlg->m_nVH, 1u);
        ASSERT_EQ(boxes.Shown().size(), 1u);
        EXPECT_EQ(boxes.Shown()[0].text, "Enter a positive integer.");
        EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONWARNING);
        auto* edit = qobject_cast<QLineEdit*>(dlg->GetDlgItem(IDC_VW));
        EXPECT_EQ(edit->selectedText(), bad);
        if (!bad.isEmpty()) {
            EXPECT_TRUE(edit->hasSelectedText());
        }
    }
}

TEST(TextBinding, PushesStoredValuesOverWhatTheOperatorTyped)
{
    auto dlg = MakeMainWindow();
    dlg->m_strHostnameId = "lobby-1";
    dlg->UpdateData(false);
    dlg->SetDlgItemText(IDC_HOSTNAME_ID, "typed but not applied");
    dlg->UpdateData(false);
    EXPECT_EQ(dlg->GetDlgItemText(IDC_HOSTNAME_ID), "lobby-1");
}
