#include "platform/DataExchange.h"

#include "platform/Dialog.h"
#include "platform/MessageBox.h"

#include <QLineEdit>

namespace platform {

void DDX_Text(CDataExchange& dx, int id, QString& value)
{
    if (dx.Failed())
        return;
    CDialogBase& dlg = dx.Dialog();
    if (dx.Saving()) {
        value = dlg.GetDlgItemText(id);
    } else if (dlg.GetDlgItemText(id) != value) {
        dlg.SetDlgItemText(id, value);
    }
}

void DDX_Radio(CDataExchange& dx, int firstId, int& value)
{
    if (dx.Failed())
        return;
    CDialogBase& dlg = dx.Dialog();
    const std::vector<int> group = dlg.RadioGroup(firstId);
    if (dx.Saving()) {
        value = -1;
        for (size_t i = 0; i < group.size(); ++i)
            if (dlg.IsDlgButtonChecked(group[i])) {
                value = static_cast<int>(i);
                break;
            }
        return;
    }
    for (size_t i = 0; i < group.size(); ++i)
        dlg.CheckDlgButton(group[i], static_cast<int>(i) == value ? 1 : 0);
}

namespace {
struct UnsignedRead {
    bool any = false;  // at least one digit
    bool negative = false;
    bool overflow = false;  // beyond 32 bits
    uint32_t magnitude = 0;
};

UnsignedRead ReadUnsigned(const QString& text)
{
    const QString head = text.left(63);
    qsizetype i = 0;
    auto isSpace = [](QChar c) {
        const char16_t u = c.unicode();
        return u == u' ' || (u >= u'\t' && u <= u'\r');
    };
    while (i < head.size() && isSpace(head[i]))
        ++i;
    bool negative = false;
    if (i < head.size() && (head[i] == u'+' || head[i] == u'-')) {
        negative = head[i] == u'-';
        ++i;
    }
    uint64_t v = 0;
    bool any = false;
    while (i < head.size() && head[i] >= u'0' && head[i] <= u'9') {
        any = true;
        v = v * 10 + static_cast<uint64_t>(head[i].unicode() - u'0');
        if (v > UINT32_MAX)
            v = uint64_t(UINT32_MAX) + 1;  // saturate, keep reading digits
        ++i;
    }
    return {any, negative, v > UINT32_MAX, v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v)};
}
}  // namespace

std::optional<uint32_t> ParseUnsigned(const QString& text)
{
    const UnsignedRead r = ReadUnsigned(text);
    if (!r.any)
        return std::nullopt;
    return r.negative ? static_cast<uint32_t>(0u - r.magnitude) : r.magnitude;
}

std::optional<uint32_t> ParseUnsignedInRange(const QString& text)
{
    const UnsignedRead r = ReadUnsigned(text);
    if (!r.any || r.overflow || (r.negative && r.magnitude != 0))
        return std::nullopt;
    return r.magnitude;
}

void DDX_Text(CDataExchange& dx, int id, uint32_t& value)
{
    if (dx.Failed())
        return;
    CDialogBase& dlg = dx.Dialog();
    if (!dx.Saving()) {
        const QString text = QString::number(value);
        if (dlg.GetDlgItemText(id) != text)
            dlg.SetDlgItemText(id, text);
        return;
    }
    const std::optional<uint32_t> n = ParseUnsigned(dlg.GetDlgItemText(id));
    if (n) {
        value = *n;
        return;
    }
    MessageBox(&dlg, QString::fromUtf8(kEnterPositiveInteger), MB_OK | MB_ICONWARNING);
    if (auto* e = qobject_cast<QLineEdit*>(dlg.GetDlgItem(id))) {
        e->setFocus(Qt::OtherFocusReason);
        e->selectAll();
    }
    dx.Fail();
}

}  // namespace platform
