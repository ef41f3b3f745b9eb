#include "endpoint/Mac.h"

#include <cctype>

namespace cv::endpoint {

std::optional<Mac> Mac::Parse(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    if (text.size() != 17)
        return std::nullopt;
    const char separator = text[2];
    if (separator != ':' && separator != '-')
        return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (i % 3 == 2) {
            if (c != static_cast<unsigned char>(separator))
                return std::nullopt;
            out += ':';
        } else if (std::isxdigit(c)) {
            out += static_cast<char>(std::tolower(c));
        } else {
            return std::nullopt;
        }
    }
    return Mac(std::move(out));
}

}  // namespace cv::endpoint
