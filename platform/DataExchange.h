#pragma once
// Transfer between a dialog's members and its controls, in binding order.
// A read that fails stops there: the later bindings keep their values.
#include <QString>
#include <cstdint>
#include <optional>

namespace platform {

class CDialogBase;

class CDataExchange {
public:
    CDataExchange(CDialogBase& dlg, bool saveAndValidate) : dlg_(dlg), save_(saveAndValidate) { }
    CDialogBase& Dialog() const { return dlg_; }
    bool Saving() const { return save_; }
    bool Failed() const { return failed_; }
    void Fail() { failed_ = true; }

private:
    CDialogBase& dlg_;
    bool save_;
    bool failed_ = false;
};

void DDX_Text(CDataExchange& dx, int id, QString& value);
// Radio index within the group that starts at firstId; -1 for none.
void DDX_Radio(CDataExchange& dx, int firstId, int& value);
// Unsigned decimal; a failed read shows "Enter a positive integer.".
void DDX_Text(CDataExchange& dx, int id, uint32_t& value);

// The number rule of the unsigned binding: at most the first 63 characters,
// leading white space skipped, an optional sign, decimal digits; whatever
// follows is ignored; a minus gives the two's complement. Values beyond
// 32 bits saturate. nullopt when no digit can be read.
std::optional<uint32_t> ParseUnsigned(const QString& text);
// The same rule without the wrap and the saturation: nullopt also when the
// value is negative or does not fit 32 bits, so the number typed is the
// number used.
std::optional<uint32_t> ParseUnsignedInRange(const QString& text);

inline constexpr const char* kEnterPositiveInteger = "Enter a positive integer.";

}  // namespace platform
