// Arbitrary bytes arriving in arbitrary pieces. After every piece all checks
// of the receive path run, the remembered results are compared with fresh
// ones, and every search of the transcript with a plain search of its text.
//
// Input: byte 0 chooses the decoding (bit 0: UTF-8, else Latin-1); then
// pieces, each a header byte (bits 0-6: length - 1, bit 7: empty the
// transcript first) followed by its bytes. A piece ends at its first zero
// byte, as a receive buffer does.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "nodes/DeviceDetails.h"
#include "nodes/Firmware.h"
#include "nodes/NodeList.h"
#include "nodes/Transcript.h"
#include "nodes/UpgradeCheck.h"

namespace {

using namespace cv::nodes;
using View = std::u16string_view;

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "mismatch: %s\n", what);
        std::abort();
    }
}

std::u16string Latin1(const std::uint8_t* p, std::size_t n)
{
    std::u16string s;
    for (std::size_t i = 0; i < n && p[i] != 0; ++i)
        s += static_cast<char16_t>(p[i]);
    return s;
}

// Lenient UTF-8: anything malformed becomes U+FFFD, one per byte.
std::u16string Utf8(const std::uint8_t* p, std::size_t n)
{
    std::size_t len = 0;
    while (len < n && p[len] != 0)
        ++len;
    std::u16string s;
    for (std::size_t i = 0; i < len;) {
        const std::uint8_t b = p[i];
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        if (b < 0x80) {
            s += static_cast<char16_t>(b);
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1, cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, cp = b & 0x07;
        }
        bool bad = extra == 0 || i + extra >= len;
        for (std::size_t k = 1; !bad && k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                bad = true;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (bad || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            s += u'\uFFFD';
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            s += static_cast<char16_t>(0xD800 + (cp >> 10));
            s += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            s += static_cast<char16_t>(cp);
        }
        i += extra + 1;
    }
    return s;
}

void CheckSearches(const Transcript& t, View literal, std::size_t from)
{
    const std::u16string& text = t.text();
    Check(t.find(literal) == text.find(literal), "find");
    Check(t.rfind(literal) == text.rfind(literal), "rfind");
    Check(t.findFrom(literal, from) == text.find(literal, from), "findFrom");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool utf8 = data[0] & 1;
    std::size_t at = 1;

    Transcript t;
    NodeListParser nodes;
    DeviceDetailsParser details;
    std::u16string extraLiteral;  // taken from the input: overlaps the fixed keys can't

    const View literals[] = {
        kDumpEndMarker.text(),
        kNodeQuery.text(),
        kRecordSeparator.text(),
        kIsHostKey.text(),
        kPromptStart.text(),
        kLineEnd.text(),
        kChannelQuery.text(),
        kVersionKey.text(),
        kFileNotFound.text(),
        kTransferTimedOut.text(),
        kMulticastKey.text(),
        u"aa",
        u"<<<",
    };

    while (at < size) {
        const std::uint8_t header = data[at++];
        const std::size_t want = (header & 0x7F) + 1u;
        const std::size_t n = std::min(want, size - at);
        const std::u16string piece = utf8 ? Utf8(data + at, n) : Latin1(data + at, n);
        at += n;
        if (header & 0x80)
            t.clear();
        t.append(piece);
        if (extraLiteral.empty())
            extraLiteral = piece.substr(0, 4);

        const auto list = nodes.parse(t);
        const auto fresh = ParseNodeList(t);
        Check((list != nullptr) == fresh.has_value(), "node list presence");
        if (list) {
            Check(*list == *fresh, "node list");
            for (std::size_t i = 0; i < list->receivers.size(); ++i) {
                Check(
                    list->receivers[i].number ==
                        [&] {
                            const std::string d = std::to_string(i);
                            return std::u16string(d.begin(), d.end());
                        }(),
                    "receiver number");
                Check(list->receivers[i].multicast.size() <= 1, "multicast width");
            }
        }

        const auto d = details.parse(t);
        const auto freshDetails = ParseDeviceDetails(t);
        Check((d != nullptr) == freshDetails.has_value(), "details presence");
        if (d)
            Check(*d == *freshDetails, "details");

        const UpgradeFailures f = CheckUpgradeFailures(t);
        Check(f.fileNotFound == (t.text().find(kFileNotFound.text()) != View::npos), "upgrade 1");
        Check(f.transferTimedOut == (t.text().find(kTransferTimedOut.text()) != View::npos), "upgrade 2");

        const std::size_t from = (header * 7u) % (t.size() + 2);
        for (View literal : literals)
            CheckSearches(t, literal, from);
        if (!extraLiteral.empty())
            CheckSearches(t, extraLiteral, from);
    }
    return 0;
}
