#include "platform/Controls.h"

#include <QStyle>
#include <gtest/gtest.h>

using namespace platform;

namespace {

ComboBox* Channels(ComboBox& c)
{
    for (int i = 0; i < 100; ++i)
        c.AddString(QStringLiteral("%1").arg(i, 4, 10, QLatin1Char('0')));
    return &c;
}

}  // namespace

TEST(ComboBoxSelectByPrefix, TriesItemZeroLastWhenStartingAtZero)
{
    ComboBox c;
    c.AddString("0001");
    c.AddString("0010");
    c.AddString("0011");
    // "001" matches items 1 and 2 first: item 0 ("0001") is only tried last.
    EXPECT_EQ(c.SelectString(0, "001"), 1);
    EXPECT_EQ(c.GetCurSel(), 1);
    // Only item 0 begins with "0001": found after the wrap-around.
    EXPECT_EQ(c.SelectString(0, "0001"), 0);
}

TEST(ComboBoxSelectByPrefix, SelectsTheSecondItemForAnEmptyText)
{
    ComboBox c;
    Channels(c);
    EXPECT_EQ(c.SelectString(0, ""), 1);
    EXPECT_EQ(c.GetLBText(c.GetCurSel()), "0001");
}

TEST(ComboBoxSelectByPrefix, IgnoresCaseAndKeepsTheSelectionWhenNothingMatches)
{
    ComboBox c;
    c.AddString("Fit In");
    c.AddString("Stretch Out");
    EXPECT_EQ(c.SelectString(0, "stretch"), 1);
    EXPECT_EQ(c.SelectString(0, "0003\r\n"), CB_ERR);
    EXPECT_EQ(c.GetCurSel(), 1);
}

TEST(ComboBoxSelectByPrefix, WrapsAroundFromTheLastItem)
{
    ComboBox c;
    c.AddString("a1");
    c.AddString("b");
    c.AddString("a2");
    EXPECT_EQ(c.SelectString(2, "a"), 0);
    EXPECT_EQ(c.SelectString(-1, "a"), 0);
}

TEST(ComboBoxAdd, RefusesItemsBeyondItsCapacityWithTheOutOfSpaceCode)
{
    ComboBox c;
    c.SetCapacity(2);
    EXPECT_EQ(c.AddString("x"), 0);
    EXPECT_EQ(c.AddString("y"), 1);
    EXPECT_EQ(c.AddString("z"), CB_ERRSPACE);
    EXPECT_EQ(c.GetCount(), 2);
    EXPECT_EQ(c.GetCurSel(), -1);
}

TEST(ComboBoxSelection, MinusOneClearsAndOutOfRangeFails)
{
    ComboBox c;
    Channels(c);
    EXPECT_EQ(c.SetCurSel(5), 5);
    EXPECT_EQ(c.SetCurSel(-1), -1);
    EXPECT_EQ(c.GetCurSel(), -1);
    EXPECT_EQ(c.SetCurSel(100), CB_ERR);
    EXPECT_EQ(c.GetLBText(100), QString());
}

TEST(ProgressBar, KeepsItsPositionInsideTheRange)
{
    ProgressBar bar;
    bar.SetRange(0, 4);
    bar.SetPos(0);
    for (int i = 0; i < 10; ++i)
        bar.DeltaPos(1);
    EXPECT_EQ(bar.GetPos(), 4);
    bar.SetPos(-3);
    EXPECT_EQ(bar.GetPos(), 0);
    bar.SetRange(0, 500);
    bar.SetPos(37);
    // A narrower range pulls the position in.
    bar.SetRange(0, 4);
    EXPECT_EQ(bar.GetPos(), 4);
}

TEST(ProgressBar, TakesItsBoundsAsSixteenBitValues)
{
    ProgressBar bar;
    bar.SetRange(0, 65536 + 25);
    EXPECT_EQ(bar.Upper(), 25);
    bar.SetPos(100);
    EXPECT_EQ(bar.GetPos(), 25);
}

TEST(IpAddressControl, ReadsBlankFieldsAsZeroAndRoundTripsDottedText)
{
    IpAddressCtrl ip;
    EXPECT_TRUE(ip.IsBlank());
    EXPECT_EQ(ip.AddressText(), "0.0.0.0");
    ip.SetAddressText("198.18.2.7");
    EXPECT_FALSE(ip.IsBlank());
    EXPECT_EQ(ip.AddressText(), "198.18.2.7");
    ip.SetAddressText("300.1.x");
    EXPECT_EQ(ip.AddressText(), "255.1.0.0");
    ip.ClearAddress();
    EXPECT_TRUE(ip.IsBlank());
}

TEST(ListView, InsertsAtAnIndexAndAddressesCellsByRowAndColumn)
{
    ListView list;
    list.InsertColumn(0, "IP Address", 95);
    list.InsertColumn(1, "Multicast", 55);
    list.InsertItem(0, "a");
    list.InsertItem(0, "b");  // inserted at the top
    list.SetItemText(0, 1, "y");
    EXPECT_EQ(list.GetItemCount(), 2);
    EXPECT_EQ(list.GetItemText(0, 0), "b");
    EXPECT_EQ(list.GetItemText(1, 0), "a");
    EXPECT_EQ(list.GetItemText(0, 1), "y");
    EXPECT_EQ(list.GetItemText(5, 0), QString());
    EXPECT_FALSE(list.SetItemText(0, 7, "no such column"));
    EXPECT_EQ(list.GetSelectedRow(), -1);
    list.SetSelectedRow(1);
    EXPECT_EQ(list.GetSelectedRow(), 1);
    list.DeleteAllItems();
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_EQ(list.GetSelectedRow(), -1);
}

TEST(ComboBoxDropDown, DropsAScrollingListOfAtMostThirtyItems)
{
    ComboBox c;
    Channels(c);
    EXPECT_EQ(c.style()->styleHint(QStyle::SH_ComboBox_Popup, nullptr, &c), 0)
        << "a menu-style popup would cover the screen with 100 channels";
    EXPECT_EQ(c.maxVisibleItems(), 30);
}
