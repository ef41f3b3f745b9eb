#pragma once
// An endpoint's MAC address, the one thing that says which endpoint answers
// wherever it answers: as the firmware prints it, as an operator types it in
// a plan or a layout, and as a workstation lock is named after it. One
// spelling out: six octets of lower-case hex joined by ':'.
#include <optional>
#include <string>
#include <string_view>

namespace cv::endpoint {

class Mac {
public:
    // Six octets of two hex digits, joined by ':' or '-', either case, with
    // blanks around; nullopt for anything else.
    static std::optional<Mac> Parse(std::string_view text);
    // "02:00:c6:12:02:01"
    const std::string& text() const { return text_; }
    bool operator==(const Mac&) const = default;
    auto operator<=>(const Mac&) const = default;

private:
    explicit Mac(std::string text) : text_(std::move(text)) { }
    std::string text_;
};

}  // namespace cv::endpoint
