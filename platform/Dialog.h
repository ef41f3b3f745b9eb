#pragma once
// A dialog built from a template of controls addressed by numeric ID, laid
// out in dialog units, with window timers and the native dialog's rules for
// radio groups, focus and hit-testing.
#include <QDialog>
#include <QHash>
#include <QRect>
#include <QString>
#include <span>
#include <vector>

class QTimer;

namespace platform {

class ComboBox;
class ListView;
class IpAddressCtrl;
class ProgressBar;

enum class Kind {
    PushButton,
    DefPushButton,
    RadioButton,
    CheckBox,
    Static,
    GroupBox,
    Edit,
    ComboBox,
    ListView,
    IpAddress,
    Progress,
    Picture
};

enum Style : unsigned {
    WS_NONE = 0,
    WS_GROUP = 1u << 0,
    WS_TABSTOP = 1u << 1,
};

struct ControlTemplate {
    int id;
    Kind kind;
    const char* caption;
    int x, y, cx, cy;  // dialog units
    unsigned style = WS_NONE;
};

// Dialog base units of the font the window really uses, so that the layout
// keeps its proportions on any font and DPI.
struct DialogUnits {
    int baseX = 6;  // average character width, px
    int baseY = 13;  // character height, px
    static DialogUnits ForFont(const QFont& font);
    QRect Map(int x, int y, int cx, int cy) const;
    QSize Map(int cx, int cy) const;
};

class CDialogBase : public QDialog {
    Q_OBJECT
public:
    explicit CDialogBase(QWidget* parent = nullptr);
    ~CDialogBase() override;

    // Creates the controls in template order (also the tab order) and sizes
    // the client area.
    void CreateFromTemplate(int clientCx, int clientCy, std::span<const ControlTemplate> controls);
    const DialogUnits& Units() const { return units_; }

    QWidget* GetDlgItem(int id) const;
    // 0 when the widget is not one of the dialog's controls.
    int GetDlgCtrlID(const QWidget* w) const;
    // Controls in template (z-) order.
    const std::vector<int>& ControlIds() const { return order_; }
    // The order Tab and Shift+Tab visit the tab stops in, wrapping round.
    // Tab stops left out follow in template order. A radio button that is a
    // tab stop stands for its whole group: Tab reaches the group's checked
    // radio (its tab stop when none is checked), the arrow keys move within.
    void SetTabOrder(std::span<const int> ids);
    const std::vector<int>& TabOrder() const { return tabOrder_; }
    // The control that is w or holds it (a field of an address control), 0
    // when none.
    int ControlOf(const QWidget* w) const;
    Kind KindOf(int id) const;

    void EnableWindow(int id, bool enable);
    bool IsWindowEnabled(int id) const;
    void ShowWindow(int id, bool show);
    bool IsWindowVisible(int id) const;
    void SetDlgItemText(int id, const QString& text);
    QString GetDlgItemText(int id) const;

    // Check boxes and radio buttons: 1 checked, 0 unchecked.
    int IsDlgButtonChecked(int id) const;
    void CheckDlgButton(int id, int check);
    // First checked radio from first to last ID, 0 when none.
    int GetCheckedRadioButton(int firstId, int lastId) const;
    void CheckRadioButton(int firstId, int lastId, int checkId);
    // The radios of the group starting at firstId, in template order: up to
    // the next control that starts a group; only radio buttons count.
    std::vector<int> RadioGroup(int firstId) const;

    ComboBox* Combo(int id) const;
    ListView* List(int id) const;
    IpAddressCtrl* IpAddress(int id) const;
    ProgressBar* Progress(int id) const;

    // The control under a point in dialog client coordinates: hidden and
    // disabled windows, group boxes and static texts are never found; 0 when
    // no control is there.
    int ControlFromPoint(QPoint clientPos) const;

    // Window timers; starting a running ID restarts it with the new period.
    void SetTimer(int id, int milliseconds);
    void KillTimer(int id);
    bool IsTimerRunning(int id) const;
    int TimerPeriod(int id) const;

protected:
    virtual void OnTimer(int id) { (void)id; }
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private:
    void ClickedRadio(int id);
    // The tab stop that stands for control id: a radio's group tab stop.
    int TabStopOf(int id) const;
    // Gives the focus to a tab stop as Tab does; false when it cannot take it.
    bool FocusTabStop(int id, Qt::FocusReason reason);
    std::vector<int> GroupOf(int id) const;

    DialogUnits units_;
    std::vector<int> order_;
    std::vector<int> tabOrder_;
    QHash<int, QWidget*> controls_;
    QHash<const QWidget*, int> ids_;
    QHash<int, Kind> kinds_;
    QHash<int, unsigned> styles_;
    QHash<int, QTimer*> timers_;
};

}  // namespace platform
