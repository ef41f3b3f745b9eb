#include "nodes/DeviceDetails.h"

#include <string_view>
#include <utility>

#include "nodes/Firmware.h"
#include "nodes/Operations.h"

namespace cv::nodes {

namespace {

using View = std::u16string_view;
constexpr std::size_t npos = View::npos;

// Where each value lies in the transcript; npos in either end means the value
// is not there (yet). The order follows the fields of DeviceDetails.
enum Field { kHostnameId, kLanStatus, kMac, kNetmask, kGateway, kIpMode, kMulticast, kChannel, kVersion, kFieldCount };
using Span = std::pair<std::size_t, std::size_t>;
using Spans = std::array<Span, kFieldCount>;

// The value of a key is what follows its first occurrence anywhere in the
// transcript, up to the next line end.
Span KeyValue(const Transcript& t, View key)
{
    const std::size_t at = t.find(key);
    if (at == npos)
        return {npos, npos};
    const std::size_t start = at + key.size();
    return {start, t.findFrom(kLineEnd.text(), start)};
}

bool IsComplete(const Transcript& t)
{
    const std::size_t isHost = t.find(kIsHostKey.text());
    return isHost != npos && t.findFrom(kPromptStart.text(), isHost) != npos;
}

Spans Locate(const Transcript& t)
{
    Spans s;
    s[kHostnameId] = KeyValue(t, kHostnameIdKey.text());
    s[kLanStatus] = KeyValue(t, kStateKey.text());
    s[kMac] = KeyValue(t, kMacKey.text());
    s[kNetmask] = KeyValue(t, kNetmaskKey.text());
    s[kGateway] = KeyValue(t, kGatewayKey.text());
    s[kIpMode] = KeyValue(t, kIpModeKey.text());
    s[kMulticast] = KeyValue(t, kMulticastKey.text());

    // The channel is printed after the last echo of its query, before the
    // prompt. The query line cannot overlap itself, so "after the last echo"
    // is the same as skipping echo after echo.
    const std::size_t echo = t.rfind(kChannelQuery.text());
    if (echo == npos) {
        s[kChannel] = {npos, npos};
    } else {
        const std::size_t start = echo + kChannelQuery.size();
        s[kChannel] = {start, t.findFrom(kPromptStart.text(), start)};
    }

    const std::size_t version = t.find(kVersionKey.text());
    if (version == npos) {
        s[kVersion] = {npos, npos};
    } else {
        const std::size_t start = version + kVersionSkip;
        s[kVersion] = {start, t.findFrom(kLineEnd.text(), start)};
    }
    return s;
}

std::u16string Cut(const Transcript& t, Span span)
{
    if (span.first == npos || span.second == npos)
        return {};
    return t.text().substr(span.first, span.second - span.first);
}

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

// Trimmed before the copy: behind a flood the channel span is megabytes of
// text with the value at its end.
std::u16string TrimmedCut(const Transcript& t, Span span)
{
    if (span.first == npos || span.second == npos)
        return {};
    const View s = View(t.text()).substr(span.first, span.second - span.first);
    std::size_t end = s.size();
    while (end > 0 && IsSpace(s[end - 1]))
        --end;
    std::size_t begin = 0;
    while (begin < end && IsSpace(s[begin]))
        ++begin;
    return std::u16string(s.substr(begin, end - begin));
}

DeviceDetails Build(const Transcript& t, const Spans& s)
{
    DeviceDetails d;
    d.hostnameId = Cut(t, s[kHostnameId]);
    d.lanStatus = Cut(t, s[kLanStatus]);
    d.macAddress = Cut(t, s[kMac]);
    d.netmask = Cut(t, s[kNetmask]);
    d.gateway = Cut(t, s[kGateway]);
    d.ipMode = Cut(t, s[kIpMode]);
    d.multicast = Cut(t, s[kMulticast]);
    d.channel = ChannelOfReply(TrimmedCut(t, s[kChannel]));
    d.version = Cut(t, s[kVersion]);

    const View mode = d.ipMode;
    if (mode.find(kIpModeAutoip.text()) != npos) {
        d.ipModeChoice = 0;
        d.addressControlsEnabled = false;
    } else if (mode.find(kIpModeDhcp.text()) != npos) {
        d.ipModeChoice = 1;
        d.addressControlsEnabled = false;
    } else if (mode.find(kIpModeStatic.text()) != npos) {
        d.ipModeChoice = 2;
        d.addressControlsEnabled = true;
    }

    if (d.multicast == kMulticastYes.text()) {
        d.castingChoice = 0;
    } else if (d.multicast == kMulticastNo.text()) {
        d.castingChoice = 1;
    }
    return d;
}

}  // namespace

std::u16string ChannelOfReply(std::u16string_view reply)
{
    while (!reply.empty() && IsSpace(reply.back()))
        reply.remove_suffix(1);
    const std::size_t newline = reply.find_last_of(u"\r\n");
    std::u16string_view last = newline == std::u16string_view::npos ? reply : reply.substr(newline + 1);
    while (!last.empty() && IsSpace(last.front()))
        last.remove_prefix(1);
    return IsValidChannel(last) ? std::u16string(last) : std::u16string();
}

std::optional<DeviceDetails> ParseDeviceDetails(const Transcript& transcript)
{
    if (!IsComplete(transcript))
        return std::nullopt;
    return Build(transcript, Locate(transcript));
}

std::shared_ptr<const DeviceDetails> DeviceDetailsParser::parse(const Transcript& transcript)
{
    // Every search runs on every arrival, complete or not: the transcript
    // then only looks at what arrived since. Left for the end, they would
    // all read the whole text in the one arrival that completes it (tens of
    // megabytes from a flooding endpoint).
    if (generation_ != transcript.generation()) {
        result_.reset();  // a flood's details are megabytes: not kept for a new text
        generation_ = transcript.generation();
    }
    const Spans spans = Locate(transcript);
    if (!IsComplete(transcript))
        return nullptr;
    Positions positions;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        positions[2 * i] = spans[i].first;
        positions[2 * i + 1] = spans[i].second;
    }
    if (result_ && positions_ == positions)
        return result_;
    result_ = std::make_shared<const DeviceDetails>(Build(transcript, spans));
    positions_ = positions;
    return result_;
}

}  // namespace cv::nodes
