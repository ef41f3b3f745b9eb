#pragma once
// Controls with the semantics of the native controls the program was
// designed around: drop-down lists with add/select-by-prefix codes, report
// list views addressed by row and column, the four-field IP address control
// and a progress bar with a 16-bit range that never leaves it.
#include <QAbstractTableModel>
#include <QComboBox>
#include <QFrame>
#include <QProgressBar>
#include <QStringList>
#include <QTreeView>
#include <array>
#include <vector>

class QLineEdit;

namespace platform {

inline constexpr int CB_ERR = -1;
inline constexpr int CB_ERRSPACE = -2;

class ComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit ComboBox(QWidget* parent = nullptr);

    // Appends; returns the new index, or CB_ERRSPACE when the list is full.
    int AddString(const QString& text);
    // -1 removes the selection. Returns the index, or CB_ERR when out of range.
    int SetCurSel(int index);
    int GetCurSel() const;
    int GetCount() const;
    QString GetLBText(int index) const;
    // First item after startIndex (wrapping round to it) whose text begins
    // with `text`, ignoring case; selects it. CB_ERR and no change when none.
    int SelectString(int startIndex, const QString& text);

    // Room for items; the native list can refuse adds when out of memory.
    void SetCapacity(int items) { capacity_ = items; }

signals:
    // Only for the operator's choices, as the native notification.
    void SelectionChanged();

private:
    int capacity_ = -1;
};

// Rows of a report list view; kept apart from the view so that filling
// thousands of rows costs one reset, not one repaint per row.
class ListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void AddColumn(int index, const QString& title);
    int InsertRow(int row, const QString& label);
    bool SetText(int row, int column, const QString& text);
    QString Text(int row, int column) const;
    void Clear();
    void ReplaceAll(std::vector<QStringList> rows);

private:
    QStringList titles_;
    std::vector<QStringList> rows_;
};

class ListView : public QTreeView {
    Q_OBJECT
public:
    explicit ListView(QWidget* parent = nullptr);

    // widthPx is the least the column gets: each column widens to read its
    // header and its cells whole, up to the list's own width, and the list
    // scrolls sideways when together they are wider than it.
    int InsertColumn(int column, const QString& title, int widthPx);
    // What a column needs for its header, or for one cell's text, to read
    // whole.
    int HeaderWidthNeeded(int column) const;
    int CellWidthNeeded(const QString& text) const;
    // The width of the rows in view, with room for the vertical scroll bar.
    int VisibleWidth() const;
    // Inserts a row whose column 0 is `label`; returns its index.
    int InsertItem(int row, const QString& label);
    bool SetItemText(int row, int column, const QString& text);
    QString GetItemText(int row, int column) const;
    int GetItemCount() const;
    // First selected row, -1 when none.
    int GetSelectedRow() const;
    void SetSelectedRow(int row);
    void DeleteAllItems();
    // Replaces every row at once (one model reset).
    void ReplaceAllItems(std::vector<QStringList> rows);

    int RowAt(QPoint viewportPos) const;

signals:
    // A click that did not turn into a drag; -1 when it hit no row.
    void Clicked(int row);
    void BeginDrag(int row);
    // The keyboard (arrows, Home, End, Page keys, Space, type-ahead) moved
    // the selection onto another row.
    void SelectedByKey(int row);

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    // Widens the columns from firstColumn to lastColumn for rows firstRow
    // to lastRow (never narrows them).
    void WidenColumns(int firstRow, int lastRow, int firstColumn, int lastColumn);
    void FitColumns();

    ListModel model_;
    std::vector<int> leastWidths_;
    QPoint pressPos_;
    int pressRow_ = -1;
    int selectedBeforePress_ = -1;
    bool pressed_ = false;
    bool dragging_ = false;
};

// Four number fields that type as one address: "." or a third digit moves
// on, Backspace at the start of a field goes back, a pasted dotted address
// fills all four, and a number above 255 never gets into a field. The
// control is one tab stop; Tab leaves it from whichever field has the focus.
class IpAddressCtrl : public QFrame {
    Q_OBJECT
public:
    explicit IpAddressCtrl(QWidget* parent = nullptr);

    void ClearAddress();
    bool IsBlank() const;
    // How many of the four fields hold a number (the native IPM_GETADDRESS
    // count): 4 when the address is complete.
    int FilledFields() const;
    // Dotted text in; numeric fields above 255 are held at 255.
    void SetAddressText(const QString& dotted);
    // Dotted text out; a blank field reads as 0.
    QString AddressText() const;
    QLineEdit* Field(int i) const { return fields_[static_cast<size_t>(i)]; }

    // What a paste into field `index` does: a whole dotted address fills
    // every field, a number that fits goes in as if typed, anything else is
    // refused and changes nothing. Returns whether it was taken.
    bool Paste(int index, const QString& text);
    // Moves the caret into field `index`: its start, its end, or all of it
    // selected.
    enum class Caret { Start, End, SelectAll };
    void GoToField(int index, Caret caret);

protected:
    bool focusNextPrevChild(bool next) override;

private:
    std::array<QLineEdit*, 4> fields_{};
};

class ProgressBar : public QProgressBar {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget* parent = nullptr);

    void SetRange(int lower, int upper);  // 16-bit bounds
    int SetPos(int pos);  // returns the previous position
    int DeltaPos(int delta);  // returns the previous position
    int GetPos() const { return pos_; }
    int Lower() const { return lower_; }
    int Upper() const { return upper_; }

private:
    void Show();
    int lower_ = 0;
    int upper_ = 100;
    int pos_ = 0;
};

}  // namespace platform
