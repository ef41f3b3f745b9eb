#include "platform/Controls.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleFactory>
#include <algorithm>
#include <cstdint>

namespace platform {

// ---- ComboBox ----

namespace {

// Some styles open a drop-down list as a menu over the whole screen (100
// channels fill it top to bottom); the native list drops a scrolling list of
// at most 30 items below the control.
class DropDownListStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == QStyle::SH_ComboBox_Popup)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QStyle* SharedDropDownListStyle()
{
    static QPointer<QStyle> style;
    if (!style) {
        style = new DropDownListStyle(QStyleFactory::create(QApplication::style()->name()));
        style->setParent(qApp);
    }
    return style;
}

}  // namespace

ComboBox::ComboBox(QWidget* parent) : QComboBox(parent)
{
    setEditable(false);
    setStyle(SharedDropDownListStyle());
    setMaxVisibleItems(30);
    connect(this, &QComboBox::activated, this, [this](int) { emit SelectionChanged(); });
}

int ComboBox::AddString(const QString& text)
{
    if (capacity_ >= 0 && count() >= capacity_)
        return CB_ERRSPACE;
    // The native list selects nothing on its own; Qt would select the first item.
    const int selected = currentIndex();
    addItem(text);
    if (currentIndex() != selected)
        setCurrentIndex(selected);
    return count() - 1;
}

int ComboBox::SetCurSel(int index)
{
    if (index < 0 || index >= count()) {
        setCurrentIndex(-1);
        return index == -1 ? -1 : CB_ERR;
    }
    setCurrentIndex(index);
    return index;
}

int ComboBox::GetCurSel() const { return currentIndex(); }
int ComboBox::GetCount() const { return count(); }

QString ComboBox::GetLBText(int index) const
{
    return index >= 0 && index < count() ? itemText(index) : QString();
}

int ComboBox::SelectString(int startIndex, const QString& text)
{
    const int n = count();
    if (n == 0)
        return CB_ERR;
    // The native search starts after startIndex and wraps round to it, so
    // with start index 0 the first item is tried last.
    const int first = (startIndex < 0 || startIndex >= n) ? 0 : startIndex + 1;
    for (int k = 0; k < n; ++k) {
        const int i = (first + k) % n;
        if (itemText(i).startsWith(text, Qt::CaseInsensitive)) {
            setCurrentIndex(i);
            return i;
        }
    }
    return CB_ERR;
}

// ---- ListModel ----

int ListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(titles_.size());
}

QVariant ListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignCenter);
    // The tooltip shows a cell whole when its column is narrower than its text.
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole && role != Qt::ToolTipRole)
        return {};
    const QStringList& row = rows_[static_cast<size_t>(index.row())];
    return index.column() < row.size() ? row[index.column()] : QString();
}

QVariant ListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= titles_.size())
        return {};
    if (role == Qt::DisplayRole)
        return titles_[section];
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignCenter);
    return {};
}

void ListModel::AddColumn(int index, const QString& title)
{
    index = std::clamp(index, 0, int(titles_.size()));
    beginInsertColumns({}, index, index);
    titles_.insert(index, title);
    endInsertColumns();
}

int ListModel::InsertRow(int row, const QString& label)
{
    row = std::clamp(row, 0, int(rows_.size()));
    beginInsertRows({}, row, row);
    rows_.insert(rows_.begin() + row, QStringList{label});
    endInsertRows();
    return row;
}

bool ListModel::SetText(int row, int column, const QString& text)
{
    if (row < 0 || row >= int(rows_.size()) || column < 0 || column >= titles_.size())
        return false;
    QStringList& cells = rows_[static_cast<size_t>(row)];
    while (cells.size() <= column)
        cells.append(QString());
    if (cells[column] == text)
        return true;
    cells[column] = text;
    const QModelIndex at = index(row, column);
    emit dataChanged(at, at);
    return true;
}

QString ListModel::Text(int row, int column) const
{
    if (row < 0 || row >= int(rows_.size()) || column < 0)
        return {};
    const QStringList& cells = rows_[static_cast<size_t>(row)];
    return column < cells.size() ? cells[column] : QString();
}

void ListModel::Clear()
{
    if (rows_.empty())
        return;
    beginResetModel();
    rows_.clear();
    endResetModel();
}

void ListModel::ReplaceAll(std::vector<QStringList> rows)
{
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

// ---- ListView ----

ListView::ListView(QWidget* parent) : QTreeView(parent)
{
    setModel(&model_);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);  // keeps ten thousand rows cheap to lay out
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setAllColumnsShowFocus(true);
    // The last column takes up what is left of a wide list; it never
    // shrinks below its own width.
    header()->setStretchLastSection(true);
    header()->setSectionsMovable(false);
    header()->setDefaultAlignment(Qt::AlignCenter);
    setFrameShape(QFrame::StyledPanel);
}

int ListView::InsertColumn(int column, const QString& title, int widthPx)
{
    model_.AddColumn(column, title);
    setColumnWidth(column, widthPx);
    return column;
}

void ListView::FitColumnsToWidth()
{
    const int columns = model_.columnCount();
    int total = 0;
    for (int c = 0; c < columns; ++c)
        total += columnWidth(c);
    const int room = width() - 2 * frameWidth() - style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    if (total <= room || total == 0 || room <= 0)
        return;
    for (int c = 0; c < columns; ++c)
        setColumnWidth(c, columnWidth(c) * room / total);
}

int ListView::InsertItem(int row, const QString& label) { return model_.InsertRow(row, label); }

bool ListView::SetItemText(int row, int column, const QString& text) { return model_.SetText(row, column, text); }

QString ListView::GetItemText(int row, int column) const { return model_.Text(row, column); }

int ListView::GetItemCount() const { return model_.rowCount(); }

int ListView::GetSelectedRow() const
{
    const QModelIndexList rows = selectionModel()->selectedRows();
    int best = -1;
    for (const QModelIndex& i : rows)
        if (best < 0 || i.row() < best)
            best = i.row();
    return best;
}

void ListView::SetSelectedRow(int row)
{
    if (row < 0 || row >= GetItemCount()) {
        selectionModel()->clearSelection();
        return;
    }
    selectionModel()->select(model_.index(row, 0),
                             QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    selectionModel()->setCurrentIndex(model_.index(row, 0), QItemSelectionModel::NoUpdate);
}

void ListView::DeleteAllItems() { model_.Clear(); }

void ListView::ReplaceAllItems(std::vector<QStringList> rows) { model_.ReplaceAll(std::move(rows)); }

int ListView::RowAt(QPoint viewportPos) const
{
    const QModelIndex i = indexAt(viewportPos);
    return i.isValid() ? i.row() : -1;
}

void ListView::keyPressEvent(QKeyEvent* e)
{
    const int before = GetSelectedRow();
    QTreeView::keyPressEvent(e);
    const int after = GetSelectedRow();
    if (after >= 0 && after != before)
        emit SelectedByKey(after);
}

void ListView::mousePressEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton) {
        pressed_ = true;
        dragging_ = false;
        pressPos_ = e->position().toPoint();
        pressRow_ = RowAt(pressPos_);
        selectedBeforePress_ = GetSelectedRow();
        SetSelectedRow(pressRow_);
        setFocus(Qt::MouseFocusReason);
        return;
    }
    QTreeView::mousePressEvent(e);
}

void ListView::mouseMoveEvent(QMouseEvent* e)
{
    if (pressed_ && !dragging_ && pressRow_ >= 0 &&
        (e->position().toPoint() - pressPos_).manhattanLength() >= QApplication::startDragDistance()) {
        dragging_ = true;
        pressed_ = false;
        // A drag is no selection: the selected row stays the one whose
        // device the window shows.
        SetSelectedRow(selectedBeforePress_);
        emit BeginDrag(pressRow_);
        return;
    }
    if (!pressed_)
        return;  // no rubber-band or hover selection: the list is single-select
}

void ListView::mouseReleaseEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton && pressed_) {
        pressed_ = false;
        emit Clicked(pressRow_);
        return;
    }
    pressed_ = false;
    dragging_ = false;
    QTreeView::mouseReleaseEvent(e);
}

// ---- IpAddressCtrl ----

IpAddressCtrl::IpAddressCtrl(QWidget* parent) : QFrame(parent)
{
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(2, 0, 2, 0);
    row->setSpacing(0);
    for (size_t i = 0; i < fields_.size(); ++i) {
        if (i > 0) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setAlignment(Qt::AlignCenter);
            row->addWidget(dot);
        }
        auto* f = new QLineEdit(this);
        f->setFrame(false);
        f->setAlignment(Qt::AlignCenter);
        f->setMaxLength(3);
        f->setValidator(new QIntValidator(0, 255, f));
        f->setAccessibleName(QStringLiteral("Field %1").arg(i + 1));
        fields_[i] = f;
        row->addWidget(f, 1);
    }
    // Tabbing into the control lands in its first field, as in the native one.
    setFocusProxy(fields_[0]);
}

void IpAddressCtrl::ClearAddress()
{
    for (QLineEdit* f : fields_)
        f->clear();
}

bool IpAddressCtrl::IsBlank() const
{
    return std::all_of(fields_.begin(), fields_.end(), [](QLineEdit* f) { return f->text().isEmpty(); });
}

void IpAddressCtrl::SetAddressText(const QString& dotted)
{
    const QStringList parts = dotted.split(QLatin1Char('.'));
    for (size_t i = 0; i < fields_.size(); ++i) {
        bool ok = false;
        const QString part = int(i) < parts.size() ? parts[int(i)].trimmed() : QString();
        const qlonglong v = part.toLongLong(&ok);
        fields_[i]->setText(ok && v >= 0 ? QString::number(std::min<qlonglong>(v, 255)) : QString());
    }
}

QString IpAddressCtrl::AddressText() const
{
    QStringList parts;
    for (QLineEdit* f : fields_)
        parts << QString::number(f->text().toInt());
    return parts.join(QLatin1Char('.'));
}

// ---- ProgressBar ----

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent)
{
    setTextVisible(false);
    Show();
}

void ProgressBar::SetRange(int lower, int upper)
{
    // The native message carries each bound in 16 bits.
    lower_ = static_cast<uint16_t>(lower);
    upper_ = static_cast<uint16_t>(upper);
    pos_ = std::clamp(pos_, std::min(lower_, upper_), std::max(lower_, upper_));
    Show();
}

int ProgressBar::SetPos(int pos)
{
    const int old = pos_;
    pos_ = std::clamp(pos, std::min(lower_, upper_), std::max(lower_, upper_));
    Show();
    return old;
}

int ProgressBar::DeltaPos(int delta) { return SetPos(pos_ + delta); }

void ProgressBar::Show()
{
    setRange(std::min(lower_, upper_), std::max(lower_, upper_));
    setValue(pos_);
}

}  // namespace platform
