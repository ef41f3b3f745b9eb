#include "tests/support/TestSupport.h"
#include "ui/CortaviaDlg.h"

#include <QAbstractButton>
#include <QLineEdit>
#include "platform/Controls.h"
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using testing_support::MakeMainWindow;

TEST(Keys, EnterNeverReachesAnEditNorPressesAButtonNorClosesTheWindow)
{
    auto dlg = MakeMainWindow();
    dlg->show();
    auto* edit = qobject_cast<QLineEdit*>(dlg->GetDlgItem(IDC_HOSTNAME_ID));
    QSignalSpy returned(edit, &QLineEdit::returnPressed);
    QTest::keyClick(edit, Qt::Key_Return);
    QTest::keyClick(dlg->GetDlgItem(IDC_OW), Qt::Key_Enter);
    EXPECT_EQ(returned.count(), 0);
    // A grid button has no handler, so pressing it is harmless to observe.
    auto* grid = qobject_cast<QPushButton*>(dlg->GetDlgItem(GridButtonId(0, 0)));
    QSignalSpy clicked(grid, &QPushButton::clicked);
    QTest::keyClick(grid, Qt::Key_Return);
    EXPECT_EQ(clicked.count(), 0);
    EXPECT_TRUE(dlg->isVisible());
}

TEST(Keys, EscapeClosesTheWindow)
{
    auto dlg = MakeMainWindow();
    dlg->show();
    QTest::keyClick(dlg->GetDlgItem(IDC_HOSTNAME_ID), Qt::Key_Escape);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
}

TEST(Resize, ScalesEveryControlByTheChangeOfClientSizeTruncating)
{
    auto dlg = MakeMainWindow();
    QWidget* scan = dlg->GetDlgItem(IDC_SCAN);
    scan->setGeometry(101, 20, 40, 10);
    const int w = dlg->m_nLastClientCx;
    const int h = dlg->m_nLastClientCy;
    dlg->OnSize(CMyCortaviaDlg::SIZE_RESTORED, w * 3 / 2, h);
    EXPECT_EQ(scan->geometry().left(), 151) << "101 * 1.5 = 151.5 truncates to 151";
    EXPECT_EQ(scan->geometry().width(), 211 - 151);
    EXPECT_EQ(scan->geometry().top(), 20);
    EXPECT_EQ(dlg->m_nLastClientCx, w * 3 / 2);
}

TEST(Resize, MinimisingAndRestoringMovesNoControl)
{
    auto dlg = MakeMainWindow();
    std::vector<QRect> before;
    for (int id : dlg->ControlIds())
        before.push_back(dlg->GetDlgItem(id)->geometry());
    dlg->OnSize(CMyCortaviaDlg::SIZE_MINIMIZED, 0, 0);
    dlg->OnSize(CMyCortaviaDlg::SIZE_RESTORED, dlg->m_nLastClientCx, dlg->m_nLastClientCy);
    size_t i = 0;
    for (int id : dlg->ControlIds())
        EXPECT_EQ(dlg->GetDlgItem(id)->geometry(), before[i++]) << id;
}

TEST(Keys, EnterStillPressesTheDefaultButtonOfTheAboutBox)
{
    auto dlg = MakeMainWindow();
    dlg->show();
    QDialog about(dlg.get());
    auto* ok = new QPushButton("OK", &about);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &about, &QDialog::accept);
    about.show();
    QTest::keyClick(&about, Qt::Key_Return);
    EXPECT_EQ(about.result(), QDialog::Accepted);
}

TEST(Keys, ArrowsMoveWithinARadioGroupAndPressTheNextRadio)
{
    auto dlg = MakeMainWindow();
    dlg->show();
    auto* dhcp = qobject_cast<QAbstractButton*>(dlg->GetDlgItem(IDC_DHCP));
    dhcp->click();
    QTest::keyClick(dhcp, Qt::Key_Down);
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC), IDC_STATIC);
    // The press reached the IP-mode handler: Static fills its suggested address.
    EXPECT_EQ(dlg->IpAddress(IDC_IP_ADDRESS)->AddressText(), "192.168.0.80");
    QTest::keyClick(dlg->GetDlgItem(IDC_STATIC), Qt::Key_Right);
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC), IDC_AUTO_IP) << "wraps round within the group";
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_MULTICAST, IDC_UNICAST), 0) << "the other group is untouched";
}
