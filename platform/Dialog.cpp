#include "platform/Dialog.h"

#include "platform/Controls.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <algorithm>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

namespace platform {

DialogUnits DialogUnits::ForFont(const QFont& font)
{
    // The native rule: average width of the 52 Latin letters, rounded, and
    // the font's full height.
    const QFontMetrics fm(font);
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    DialogUnits u;
    u.baseX = (fm.horizontalAdvance(letters) / 26 + 1) / 2;
    u.baseY = fm.height();
    if (u.baseX <= 0)
        u.baseX = 6;
    if (u.baseY <= 0)
        u.baseY = 13;
    return u;
}

QRect DialogUnits::Map(int x, int y, int cx, int cy) const
{
    const int left = x * baseX / 4;
    const int top = y * baseY / 8;
    const int right = (x + cx) * baseX / 4;
    const int bottom = (y + cy) * baseY / 8;
    return QRect(left, top, right - left, bottom - top);
}

QSize DialogUnits::Map(int cx, int cy) const { return QSize(cx * baseX / 4, cy * baseY / 8); }

CDialogBase::CDialogBase(QWidget* parent) : QDialog(parent) { }

CDialogBase::~CDialogBase() = default;

void CDialogBase::CreateFromTemplate(int clientCx, int clientCy, std::span<const ControlTemplate> controls)
{
    units_ = DialogUnits::ForFont(font());
    setFixedSize(units_.Map(clientCx, clientCy));
    QWidget* previousTab = nullptr;
    for (const ControlTemplate& t : controls) {
        QWidget* w = nullptr;
        const QString caption = QString::fromUtf8(t.caption ? t.caption : "");
        switch (t.kind) {
        case Kind::PushButton:
        case Kind::DefPushButton: {
            auto* b = new QPushButton(caption, this);
            b->setAutoDefault(false);
            w = b;
            break;
        }
        case Kind::RadioButton: {
            auto* r = new QRadioButton(caption, this);
            r->setAutoExclusive(false);  // groups follow the template, not the parent
            const int id = t.id;
            connect(r, &QRadioButton::clicked, this, [this, id] { ClickedRadio(id); });
            r->installEventFilter(this);  // arrow keys walk the group
            w = r;
            break;
        }
        case Kind::CheckBox: w = new QCheckBox(caption, this); break;
        case Kind::Static: {
            auto* l = new QLabel(caption, this);
            l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            l->setTextFormat(Qt::PlainText);
            w = l;
            break;
        }
        case Kind::GroupBox: {
            auto* g = new QGroupBox(caption, this);
            // A frame only: it must never take the clicks of the controls it encloses.
            g->setAttribute(Qt::WA_TransparentForMouseEvents);
            w = g;
            break;
        }
        case Kind::Edit: {
            auto* e = new QLineEdit(this);
            e->setText(caption);
            w = e;
            break;
        }
        case Kind::ComboBox: w = new ComboBox(this); break;
        case Kind::ListView: w = new ListView(this); break;
        case Kind::IpAddress: w = new IpAddressCtrl(this); break;
        case Kind::Progress: w = new ProgressBar(this); break;
        case Kind::Picture: {
            auto* l = new QLabel(this);
            l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            w = l;
            break;
        }
        }
        QRect r = units_.Map(t.x, t.y, t.cx, t.cy);
        if (t.kind == Kind::ComboBox) {
            // A drop-down list's template height includes its list; the
            // closed control is one line high.
            r.setHeight(std::min(r.height(), w->sizeHint().height()));
        }
        w->setGeometry(r);
        w->setObjectName(QStringLiteral("IDC_%1").arg(t.id));
        const bool tabStop = (t.style & WS_TABSTOP) != 0;
        w->setFocusPolicy(tabStop ? Qt::StrongFocus : (t.kind == Kind::RadioButton ? Qt::ClickFocus : Qt::NoFocus));
        if (tabStop) {
            if (previousTab)
                QWidget::setTabOrder(previousTab, w);
            previousTab = w;
            tabOrder_.push_back(t.id);
        }
        w->show();
        order_.push_back(t.id);
        controls_.insert(t.id, w);
        ids_.insert(w, t.id);
        kinds_.insert(t.id, t.kind);
        styles_.insert(t.id, t.style);
    }
    // Frames go to the bottom of the stacking order so the controls inside
    // them are drawn over them.
    for (int id : order_)
        if (kinds_.value(id) == Kind::GroupBox)
            controls_.value(id)->lower();
}

void CDialogBase::SetTabOrder(std::span<const int> ids)
{
    std::vector<int> order;
    auto listed = [&order](int id) { return std::find(order.begin(), order.end(), id) != order.end(); };
    for (int id : ids)
        if ((styles_.value(id) & WS_TABSTOP) && !listed(id))
            order.push_back(id);
    for (int id : tabOrder_)
        if (!listed(id))
            order.push_back(id);
    tabOrder_ = std::move(order);
    // Qt's own focus chain follows, for whatever walks it (accessibility).
    for (size_t i = 1; i < tabOrder_.size(); ++i)
        QWidget::setTabOrder(GetDlgItem(tabOrder_[i - 1]), GetDlgItem(tabOrder_[i]));
}

int CDialogBase::ControlOf(const QWidget* w) const
{
    for (; w && w != this; w = w->parentWidget())
        if (const int id = GetDlgCtrlID(w))
            return id;
    return 0;
}

int CDialogBase::TabStopOf(int id) const
{
    if (KindOf(id) != Kind::RadioButton)
        return id;
    for (int member : GroupOf(id))
        if (styles_.value(member) & WS_TABSTOP)
            return member;
    return id;
}

bool CDialogBase::FocusTabStop(int id, Qt::FocusReason reason)
{
    auto usable = [this](int control) {
        const QWidget* w = GetDlgItem(control);
        return w && w->isVisibleTo(this) && w->isEnabled();
    };
    int target = 0;
    if (KindOf(id) == Kind::RadioButton) {
        // The group is one stop: its checked radio takes the focus, else
        // the tab stop itself. Taking the focus checks nothing.
        const std::vector<int> group = GroupOf(id);
        for (int member : group)
            if (!target && IsDlgButtonChecked(member) && usable(member))
                target = member;
        if (!target && usable(id))
            target = id;
    } else if (usable(id)) {
        target = id;
    }
    if (!target)
        return false;
    GetDlgItem(target)->setFocus(reason);
    return true;
}

bool CDialogBase::focusNextPrevChild(bool next)
{
    const int n = static_cast<int>(tabOrder_.size());
    if (n == 0)
        return QDialog::focusNextPrevChild(next);
    const int current = TabStopOf(ControlOf(focusWidget()));
    const auto found = std::find(tabOrder_.begin(), tabOrder_.end(), current);
    // From a control that is no tab stop (or none), Tab starts at the first.
    const int at = found != tabOrder_.end() ? static_cast<int>(found - tabOrder_.begin()) : (next ? -1 : n);
    for (int step = 1; step <= n; ++step) {
        const int i = (((at + (next ? step : -step)) % n) + n) % n;
        if (FocusTabStop(tabOrder_[static_cast<size_t>(i)], next ? Qt::TabFocusReason : Qt::BacktabFocusReason))
            return true;
    }
    return false;
}

QWidget* CDialogBase::GetDlgItem(int id) const { return controls_.value(id, nullptr); }

int CDialogBase::GetDlgCtrlID(const QWidget* w) const { return ids_.value(w, 0); }

Kind CDialogBase::KindOf(int id) const { return kinds_.value(id, Kind::Static); }

void CDialogBase::EnableWindow(int id, bool enable)
{
    if (QWidget* w = GetDlgItem(id))
        w->setEnabled(enable);
}

bool CDialogBase::IsWindowEnabled(int id) const
{
    const QWidget* w = GetDlgItem(id);
    return w && w->isEnabled();
}

void CDialogBase::ShowWindow(int id, bool show)
{
    if (QWidget* w = GetDlgItem(id))
        w->setVisible(show);
}

bool CDialogBase::IsWindowVisible(int id) const
{
    const QWidget* w = GetDlgItem(id);
    return w && !w->isHidden();
}

void CDialogBase::SetDlgItemText(int id, const QString& text)
{
    QWidget* w = GetDlgItem(id);
    if (!w)
        return;
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        b->setText(text);
    else if (auto* l = qobject_cast<QLabel*>(w))
        l->setText(text);
    else if (auto* e = qobject_cast<QLineEdit*>(w))
        e->setText(text);
    else if (auto* g = qobject_cast<QGroupBox*>(w))
        g->setTitle(text);
    else if (auto* ip = qobject_cast<IpAddressCtrl*>(w))
        ip->SetAddressText(text);
}

QString CDialogBase::GetDlgItemText(int id) const
{
    QWidget* w = GetDlgItem(id);
    if (!w)
        return {};
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->text();
    if (auto* g = qobject_cast<QGroupBox*>(w))
        return g->title();
    if (auto* ip = qobject_cast<IpAddressCtrl*>(w))
        return ip->AddressText();
    if (auto* c = qobject_cast<ComboBox*>(w))
        return c->currentText();
    return {};
}

int CDialogBase::IsDlgButtonChecked(int id) const
{
    auto* b = qobject_cast<QAbstractButton*>(GetDlgItem(id));
    return b && b->isChecked() ? 1 : 0;
}

void CDialogBase::CheckDlgButton(int id, int check)
{
    if (auto* b = qobject_cast<QAbstractButton*>(GetDlgItem(id)))
        b->setChecked(check != 0);
}

int CDialogBase::GetCheckedRadioButton(int firstId, int lastId) const
{
    for (int id = firstId; id <= lastId; ++id)
        if (KindOf(id) == Kind::RadioButton && GetDlgItem(id) && IsDlgButtonChecked(id))
            return id;
    return 0;
}

void CDialogBase::CheckRadioButton(int firstId, int lastId, int checkId)
{
    for (int id = firstId; id <= lastId; ++id)
        if (GetDlgItem(id))
            CheckDlgButton(id, id == checkId ? 1 : 0);
}

std::vector<int> CDialogBase::RadioGroup(int firstId) const
{
    std::vector<int> group;
    bool inside = false;
    for (int id : order_) {
        if (!inside) {
            if (id == firstId) {
                inside = true;
                if (KindOf(id) == Kind::RadioButton)
                    group.push_back(id);
            }
            continue;
        }
        if (styles_.value(id) & WS_GROUP)
            break;
        if (KindOf(id) == Kind::RadioButton)
            group.push_back(id);
    }
    return group;
}

std::vector<int> CDialogBase::GroupOf(int id) const
{
    // Walk back to the control that starts the group holding id.
    int start = 0;
    for (int other : order_) {
        if (styles_.value(other) & WS_GROUP)
            start = other;
        if (other == id)
            break;
    }
    return RadioGroup(start);
}

void CDialogBase::ClickedRadio(int id)
{
    for (int member : GroupOf(id))
        CheckDlgButton(member, member == id ? 1 : 0);
}

bool CDialogBase::eventFilter(QObject* watched, QEvent* event)
{
    // An arrow key on a radio moves to the next one of its group, wrapping,
    // and presses it, as the native dialog does.
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        const int id = GetDlgCtrlID(qobject_cast<QWidget*>(watched));
        if (id != 0 && KindOf(id) == Kind::RadioButton &&
            (key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_Left || key == Qt::Key_Right)) {
            const std::vector<int> group = GroupOf(id);
            const auto at = std::find(group.begin(), group.end(), id);
            if (at != group.end() && group.size() > 1) {
                const int step = (key == Qt::Key_Down || key == Qt::Key_Right) ? 1 : -1;
                const int n = static_cast<int>(group.size());
                const int next = group[static_cast<size_t>(((at - group.begin()) + step + n) % n)];
                auto* target = qobject_cast<QAbstractButton*>(GetDlgItem(next));
                target->setFocus(Qt::TabFocusReason);
                target->click();
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

ComboBox* CDialogBase::Combo(int id) const { return qobject_cast<ComboBox*>(GetDlgItem(id)); }
ListView* CDialogBase::List(int id) const { return qobject_cast<ListView*>(GetDlgItem(id)); }
IpAddressCtrl* CDialogBase::IpAddress(int id) const { return qobject_cast<IpAddressCtrl*>(GetDlgItem(id)); }
ProgressBar* CDialogBase::Progress(int id) const { return qobject_cast<ProgressBar*>(GetDlgItem(id)); }

int CDialogBase::ControlFromPoint(QPoint clientPos) const
{
    if (!rect().contains(clientPos))
        return 0;
    for (int id : order_) {
        const Kind k = KindOf(id);
        if (k == Kind::GroupBox || k == Kind::Static || k == Kind::Picture)
            continue;
        const QWidget* w = GetDlgItem(id);
        if (!w || w->isHidden() || !w->isEnabled())
            continue;
        if (w->geometry().contains(clientPos))
            return id;
    }
    return 0;
}

void CDialogBase::SetTimer(int id, int milliseconds)
{
    QTimer* t = timers_.value(id, nullptr);
    if (!t) {
        t = new QTimer(this);
        t->setTimerType(Qt::PreciseTimer);
        connect(t, &QTimer::timeout, this, [this, id] { OnTimer(id); });
        timers_.insert(id, t);
    }
    t->start(std::max(milliseconds, 1));
}

void CDialogBase::KillTimer(int id)
{
    if (QTimer* t = timers_.value(id, nullptr))
        t->stop();
}

bool CDialogBase::IsTimerRunning(int id) const
{
    const QTimer* t = timers_.value(id, nullptr);
    return t && t->isActive();
}

int CDialogBase::TimerPeriod(int id) const
{
    const QTimer* t = timers_.value(id, nullptr);
    return t ? t->interval() : 0;
}

}  // namespace platform
