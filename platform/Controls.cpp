#include "platform/Controls.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleFactory>
#include <QValidator>
#include <algorithm>
#include <cstdint>
#include <optional>

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

QString ComboBox::GetLBText(int index) const { return index >= 0 && index < count() ? itemText(index) : QString(); }

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
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // Columns follow what they hold: a refill sizes them afresh, new rows
    // and changed cells can only widen them.
    connect(&model_, &QAbstractItemModel::modelReset, this, &ListView::FitColumns);
    connect(&model_, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first, int last) {
        WidenColumns(first, last, 0, model_.columnCount() - 1);
    });
    connect(&model_, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex& from, const QModelIndex& to) {
        WidenColumns(from.row(), to.row(), from.column(), to.column());
    });
}

int ListView::InsertColumn(int column, const QString& title, int widthPx)
{
    model_.AddColumn(column, title);
    column = std::clamp(column, 0, int(leastWidths_.size()));
    leastWidths_.insert(leastWidths_.begin() + column, widthPx);
    FitColumns();
    return column;
}

int ListView::VisibleWidth() const
{
    return width() - 2 * frameWidth() - style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
}

int ListView::HeaderWidthNeeded(int column) const { return header()->sectionSizeHint(column); }

int ListView::CellWidthNeeded(const QString& text) const
{
    // The item view's text margins on both sides. Anything longer than a
    // list is wide is clipped anyway: a flood's megabytes are not measured.
    constexpr qsizetype kMeasuredChars = 256;
    const int margins = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1);
    return fontMetrics().horizontalAdvance(text.left(kMeasuredChars)) + margins;
}

void ListView::WidenColumns(int firstRow, int lastRow, int firstColumn, int lastColumn)
{
    // Rows beyond the first thousand are not measured, as a header sized to
    // its contents does; a long list stays cheap to refill.
    constexpr int kMeasuredRows = 1000;
    lastRow = std::min(lastRow, firstRow + kMeasuredRows - 1);
    // No cell widens its column past what the list shows at once, so that
    // one column can always be scrolled wholly into view.
    const int most = std::max(VisibleWidth(), 1);
    for (int c = std::max(firstColumn, 0); c <= lastColumn && c < model_.columnCount(); ++c) {
        int needed = columnWidth(c);
        for (int r = std::max(firstRow, 0); r <= lastRow && r < model_.rowCount(); ++r)
            needed = std::max(needed, std::min(CellWidthNeeded(model_.Text(r, c)), most));
        if (needed > columnWidth(c))
            setColumnWidth(c, needed);
    }
}

void ListView::FitColumns()
{
    for (int c = 0; c < model_.columnCount(); ++c) {
        const int least = c < int(leastWidths_.size()) ? leastWidths_[static_cast<size_t>(c)] : 0;
        setColumnWidth(c, std::max(least, HeaderWidthNeeded(c)));
    }
    WidenColumns(0, model_.rowCount() - 1, 0, model_.columnCount() - 1);
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
    selectionModel()->select(model_.index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
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

namespace {

// A field's whole text is an octet: one to three digits, at most 255.
bool IsOctet(QStringView text)
{
    if (text.isEmpty() || text.size() > 3)
        return false;
    int value = 0;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value <= 255;
}

// Four octets joined by dots, nothing else (white space around is trimmed).
std::optional<std::array<int, 4>> DottedAddress(const QString& text)
{
    const QStringList parts = text.trimmed().split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    std::array<int, 4> octets{};
    for (int i = 0; i < 4; ++i) {
        if (!IsOctet(parts[i]))
            return std::nullopt;
        octets[static_cast<size_t>(i)] = parts[i].toInt();
    }
    return octets;
}

// Whichever way text reaches a field (keys, paste, drop, middle click, input
// method), it holds nothing or an octet afterwards.
class OctetValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override
    {
        return input.isEmpty() || IsOctet(input) ? Acceptable : Invalid;
    }
};

// The text a field would hold once `typed` replaces its selection, or goes
// in at the caret.
QString WithTyped(const QLineEdit& field, const QString& typed)
{
    QString text = field.text();
    if (field.hasSelectedText())
        text.replace(field.selectionStart(), field.selectedText().size(), typed);
    else
        text.insert(field.cursorPosition(), typed);
    return text;
}

// The standard menu's Paste, known by its (translated) text or by the
// shortcut the menu shows beside it.
bool IsPasteAction(const QAction& action)
{
    const QString text = action.text();
    const QString shortcut = QKeySequence(QKeySequence::Paste).toString(QKeySequence::NativeText);
    return text.section(QLatin1Char('\t'), 0, 0) == QLineEdit::tr("&Paste") ||
        (!shortcut.isEmpty() && text.endsWith(QLatin1Char('\t') + shortcut));
}

class OctetEdit : public QLineEdit {
public:
    OctetEdit(IpAddressCtrl* owner, int index) : QLineEdit(owner), owner_(owner), index_(index)
    {
        setFrame(false);
        setAlignment(Qt::AlignCenter);
        setMaxLength(3);
        setValidator(new OctetValidator(this));
        setAccessibleName(QStringLiteral("Field %1").arg(index + 1));
    }

    // A digit as the keyboard gives it: refused when the octet would pass
    // 255; a full field passes it on to the next one; the third digit moves on.
    void TypeDigit(QChar digit)
    {
        const bool atEnd = !hasSelectedText() && cursorPosition() == text().size();
        if (atEnd && text().size() == 3) {
            if (index_ < 3) {
                owner_->GoToField(index_ + 1, IpAddressCtrl::Caret::SelectAll);
                static_cast<OctetEdit*>(owner_->Field(index_ + 1))->TypeDigit(digit);
            } else {
                QApplication::beep();
            }
            return;
        }
        if (!IsOctet(WithTyped(*this, QString(digit)))) {
            QApplication::beep();
            return;
        }
        insert(QString(digit));
        if (text().size() == 3 && cursorPosition() == 3 && index_ < 3)
            owner_->GoToField(index_ + 1, IpAddressCtrl::Caret::SelectAll);
    }

protected:
    void keyPressEvent(QKeyEvent* e) override
    {
        if (e->matches(QKeySequence::Paste)) {
            owner_->Paste(index_, QGuiApplication::clipboard()->text());
            e->accept();
            return;
        }
        const bool plain = !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
        const bool caretOnly = !hasSelectedText();
        const int caret = cursorPosition();
        if (plain && caretOnly) {
            if ((e->key() == Qt::Key_Backspace || e->key() == Qt::Key_Left) && caret == 0 && index_ > 0) {
                owner_->GoToField(index_ - 1, IpAddressCtrl::Caret::End);
                e->accept();
                return;
            }
            if (e->key() == Qt::Key_Right && caret == text().size() && index_ < 3) {
                owner_->GoToField(index_ + 1, IpAddressCtrl::Caret::Start);
                e->accept();
                return;
            }
        }
        const QString typed = e->text();
        if (plain && typed.size() == 1 && typed[0].isPrint()) {
            const QChar c = typed[0];
            if (c >= u'0' && c <= u'9') {
                TypeDigit(c);
            } else if (c == u'.') {
                // Only after a number: a second dot in a row stays where it is.
                if (caretOnly && caret > 0 && index_ < 3)
                    owner_->GoToField(index_ + 1, IpAddressCtrl::Caret::SelectAll);
            } else {
                QApplication::beep();
            }
            e->accept();
            return;
        }
        QLineEdit::keyPressEvent(e);
    }

    void contextMenuEvent(QContextMenuEvent* e) override
    {
        // The menu's Paste takes a dotted address as Ctrl+V does.
        QMenu* menu = createStandardContextMenu();
        for (QAction* action : menu->actions()) {
            if (!IsPasteAction(*action))
                continue;
            action->disconnect(this);
            connect(action, &QAction::triggered, this,
                    [this] { owner_->Paste(index_, QGuiApplication::clipboard()->text()); });
        }
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(e->globalPos());
    }

    void mouseReleaseEvent(QMouseEvent* e) override
    {
        // The X11 middle-button paste of the selection, taken the same way.
        if (e->button() == Qt::MiddleButton && QGuiApplication::clipboard()->supportsSelection()) {
            owner_->Paste(index_, QGuiApplication::clipboard()->text(QClipboard::Selection));
            e->accept();
            return;
        }
        QLineEdit::mouseReleaseEvent(e);
    }

private:
    IpAddressCtrl* owner_;
    int index_;
};

}  // namespace

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
        auto* f = new OctetEdit(this, static_cast<int>(i));
        // One tab stop for the whole control: the other fields are reached
        // by typing or by the mouse.
        if (i > 0)
            f->setFocusPolicy(Qt::ClickFocus);
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

int IpAddressCtrl::FilledFields() const
{
    return static_cast<int>(
        std::count_if(fields_.begin(), fields_.end(), [](QLineEdit* f) { return !f->text().isEmpty(); }));
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

bool IpAddressCtrl::Paste(int index, const QString& text)
{
    if (index < 0 || index > 3 || !isEnabled())
        return false;
    if (const auto octets = DottedAddress(text)) {
        for (size_t i = 0; i < fields_.size(); ++i)
            fields_[i]->setText(QString::number((*octets)[i]));
        GoToField(3, Caret::End);
        return true;
    }
    QLineEdit* field = fields_[static_cast<size_t>(index)];
    const QString number = text.trimmed();
    if (IsOctet(number) && IsOctet(WithTyped(*field, number))) {
        field->insert(number);
        if (field->text().size() == 3 && field->cursorPosition() == 3 && index < 3)
            GoToField(index + 1, Caret::SelectAll);
        return true;
    }
    QApplication::beep();
    return false;
}

void IpAddressCtrl::GoToField(int index, Caret caret)
{
    if (index < 0 || index > 3)
        return;
    QLineEdit* f = fields_[static_cast<size_t>(index)];
    f->setFocus(Qt::OtherFocusReason);
    switch (caret) {
    case Caret::Start: f->setCursorPosition(0); break;
    case Caret::End: f->setCursorPosition(static_cast<int>(f->text().size())); break;
    case Caret::SelectAll: f->selectAll(); break;
    }
}

bool IpAddressCtrl::focusNextPrevChild(bool next)
{
    // Tab leaves the control from whichever field has the focus: start from
    // the field at the control's edge, so that the other fields are passed.
    QWidget* focused = QApplication::focusWidget();
    if (std::find(fields_.begin(), fields_.end(), focused) != fields_.end()) {
        QLineEdit* edge = fields_[next ? 3 : 0];
        if (focused != edge)
            edge->setFocus(Qt::OtherFocusReason);
    }
    return QFrame::focusNextPrevChild(next);
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
