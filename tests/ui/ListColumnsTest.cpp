// The TX and RX lists of the real window at its fixed size: every header
// and every cell reads whole, measured with the lists' own font metrics.
#include "platform/Controls.h"
#include "tests/support/TestSupport.h"
#include "ui/CortaviaDlg.h"

#include <QHeaderView>
#include <QScrollBar>
#include <gtest/gtest.h>

using testing_support::MakeMainWindow;

namespace {

// What a cell's text takes, the view's text margin on each side included;
// worked out here from the font, not asked of the list.
int TextWidth(const platform::ListView& list, const QString& text)
{
    const int margin = list.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &list) + 1;
    return QFontMetrics(list.font()).horizontalAdvance(text) + 2 * margin;
}

// A header's text with the padding its section draws around it.
int HeaderTextWidth(const platform::ListView& list, const QString& text)
{
    return QFontMetrics(list.header()->font()).horizontalAdvance(text);
}

const QString kLongestId = "ABCDEFGHIJKLMNOPQRSTUVWX";  // 24, the most a hostname ID holds

}  // namespace

TEST(ListColumns, EveryHeaderOfBothListsReadsInFullAtTheWindowsFixedSize)
{
    auto dlg = MakeMainWindow();
    dlg->show();
    const QSize fixed = dlg->size();
    for (int id : {IDC_TX_LIST, IDC_RX_LIST}) {
        platform::ListView* list = dlg->List(id);
        for (int c = 0; c < list->model()->columnCount(); ++c) {
            const QString title = list->model()->headerData(c, Qt::Horizontal).toString();
            EXPECT_GE(list->columnWidth(c), list->header()->sectionSizeHint(c)) << title.toStdString();
            EXPECT_GT(list->columnWidth(c), HeaderTextWidth(*list, title) + 4) << title.toStdString();
        }
    }
    EXPECT_EQ(dlg->size(), fixed);
    EXPECT_EQ(dlg->minimumSize(), dlg->maximumSize()) << "the window keeps its fixed size";
}

TEST(ListColumns, KeepsTheColumnsTheirOrderAndAtLeastTheLayoutsWidths)
{
    auto dlg = MakeMainWindow();
    const std::vector<std::pair<QString, int>> tx = {{"IP Address", 95}, {"Multicast", 55}, {"Channel", 75}};
    const std::vector<std::pair<QString, int>> rx = {
        {"IP Address", 95}, {"Multicast", 55}, {"Channel", 55}, {"OSD", 35}, {"Hostname ID", 75}};
    for (const auto& [id, columns] : {std::pair{IDC_TX_LIST, tx}, std::pair{IDC_RX_LIST, rx}}) {
        platform::ListView* list = dlg->List(id);
        ASSERT_EQ(list->model()->columnCount(), int(columns.size()));
        for (size_t c = 0; c < columns.size(); ++c) {
            EXPECT_EQ(list->model()->headerData(int(c), Qt::Horizontal).toString(), columns[c].first);
            EXPECT_GE(list->columnWidth(int(c)), columns[c].second) << columns[c].first.toStdString();
        }
    }
}

TEST(ListColumns, ATwentyFourCharacterHostnameIdReadsWholeAndScrollsWhollyIntoView)
{
    auto dlg = MakeMainWindow();
    dlg->show();
    platform::ListView* rx = dlg->List(IDC_RX_LIST);
    // As the node list arrives: the whole list at once.
    rx->ReplaceAllItems({{"198.18.2.1", "y", "0001", "0", "rx-1"}, {"198.18.2.250", "n", "0099", "1", kLongestId}});
    EXPECT_GE(rx->columnWidth(4), TextWidth(*rx, kLongestId));
    EXPECT_GE(rx->columnWidth(0), TextWidth(*rx, "198.18.2.250"));
    // A person scrolls the list sideways to it: the whole cell is in view.
    const QModelIndex cell = rx->model()->index(1, 4);
    rx->scrollTo(cell);
    QApplication::processEvents();
    const QRect shown = rx->visualRect(cell);
    EXPECT_GE(shown.left(), 0);
    EXPECT_LE(shown.right(), rx->viewport()->width());
    EXPECT_GE(shown.width(), TextWidth(*rx, kLongestId));
    EXPECT_GT(rx->horizontalScrollBar()->maximum(), 0) << "the columns together are wider than the list";
}

TEST(ListColumns, ANewIdFromApplyOrANewRowWidensItsColumnButARefillStartsAfresh)
{
    auto dlg = MakeMainWindow();
    platform::ListView* rx = dlg->List(IDC_RX_LIST);
    rx->ReplaceAllItems({{"198.18.2.1", "y", "0001", "0", "rx-1"}});
    const int before = rx->columnWidth(4);
    rx->SetItemText(0, 4, kLongestId);
    EXPECT_GE(rx->columnWidth(4), TextWidth(*rx, kLongestId));
    rx->InsertItem(1, "198.18.255.254");
    EXPECT_GE(rx->columnWidth(0), TextWidth(*rx, "198.18.255.254"));
    rx->ReplaceAllItems({{"198.18.2.1", "y", "0001", "0", "rx-1"}});
    EXPECT_EQ(rx->columnWidth(4), before);
}

TEST(ListColumns, AFloodedCellNeverWidensItsColumnPastTheList)
{
    auto dlg = MakeMainWindow();
    platform::ListView* rx = dlg->List(IDC_RX_LIST);
    rx->ReplaceAllItems({{"198.18.2.1", "y", "0001", "0", QString(1 << 20, QLatin1Char('W'))}});
    EXPECT_LE(rx->columnWidth(4), rx->VisibleWidth());
}
