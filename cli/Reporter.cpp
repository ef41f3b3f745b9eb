#include "cli/Reporter.h"

#include <cstdio>

namespace cv::cli {

namespace {
void Escape(std::string& out, unsigned char c)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02x", c);
    out += buf;
}

// The length of the UTF-8 sequence at i, 0 when it is not one.
std::size_t Utf8Length(const std::string& s, std::size_t i)
{
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 0;
    const auto c1 = static_cast<unsigned char>(s[i + 1]);
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0) || (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90))
        return 0;  // overlong, surrogate, past U+10FFFF
    if (c == 0xC2 && c1 < 0xA0)
        return 0;  // C1 controls: a terminal obeys them as ESC does
    return n;
}
}  // namespace

std::string Printable(const std::string& text, bool keepNewlines, bool keepReturns)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c == '\n' && keepNewlines) || (c == '\r' && keepReturns)) {
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            Escape(out, c);
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (const std::size_t n = Utf8Length(text, i)) {
            out.append(text, i, n);
            i += n;
        } else {
            Escape(out, c);
            ++i;
        }
    }
    return out;
}

void Reporter::Progress(const std::string& address, const std::string& text)
{
    if (quiet_)
        return;
    std::lock_guard lock(mutex_);
    err_ << Printable(address) << ": " << Printable(text, true) << std::endl;
}

void Reporter::Failure(const std::string& address, const std::string& step, const std::string& detail)
{
    std::lock_guard lock(mutex_);
    err_ << Printable(address) << ": " << Printable(step) << " failed: " << Printable(detail, true) << std::endl;
}

void Reporter::Note(const std::string& text)
{
    if (quiet_)
        return;
    std::lock_guard lock(mutex_);
    err_ << Printable(text, true) << std::endl;
}

}  // namespace cv::cli
