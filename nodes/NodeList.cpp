#include "nodes/NodeList.h"

#include <algorithm>
#include <string_view>

#include "nodes/Firmware.h"

namespace cv::nodes {

namespace {

using View = std::u16string_view;
constexpr std::size_t npos = View::npos;

// The text after the first key in the record, up to its line end. A missing
// key or a line that the record cuts off gives nothing, never text from
// elsewhere in the record.
std::u16string ValueAfter(View record, View key)
{
    const std::size_t at = record.find(key);
    if (at == npos)
        return {};
    const View rest = record.substr(at + key.size());
    const std::size_t end = rest.find(kLineEnd.text());
    if (end == npos)
        return {};
    return std::u16string(rest.substr(0, end));
}

// Exactly the one character after the key, whatever it is.
std::u16string CharacterAfter(View record, View key)
{
    const std::size_t at = record.find(key);
    if (at == npos || at + key.size() >= record.size())
        return {};
    return std::u16string(1, record[at + key.size()]);
}

std::u16string Decimal(std::size_t n)
{
    const std::string digits = std::to_string(n);
    return std::u16string(digits.begin(), digits.end());
}

// Records end where "MY_MAC" starts; the text after the last one never forms
// a record. Views keep the whole run linear in the size of the dump.
NodeList ParseRecords(View work)
{
    NodeList list;
    while (true) {
        const std::size_t sep = work.find(kRecordSeparator.text());
        if (sep == npos)
            break;  // the empty record ends the dump
        const View record = work.substr(0, sep);
        work.remove_prefix(sep + kRecordSeparator.size());

        if (record.find(kTransmitterWord.text()) != npos) {
            TransmitterRow row{ValueAfter(record, kAddressKey.text()), CharacterAfter(record, kMulticastKey.text()),
                               ValueAfter(record, kTxChannelKey.text())};
            list.last = LastRowValues{row.address, row.multicast, row.channel};
            list.transmitters.push_back(std::move(row));
        } else if (record.find(kReceiverWord.text()) != npos) {
            ReceiverRow row{ValueAfter(record, kAddressKey.text()), CharacterAfter(record, kMulticastKey.text()),
                            ValueAfter(record, kRxChannelKey.text()), Decimal(list.receivers.size()),
                            ValueAfter(record, kReceiverWord.text())};
            list.last = LastRowValues{row.address, row.multicast, row.channel};
            list.receivers.push_back(std::move(row));
        } else {
            break;  // neither word: nothing after it is read
        }
    }
    // Each transmitter went in at the top of the list.
    std::reverse(list.transmitters.begin(), list.transmitters.end());
    return list;
}

std::size_t WorkStart(const Transcript& t)
{
    const std::size_t at = t.find(kNodeQuery.text());
    return at == npos ? 0 : at;
}

}  // namespace

std::optional<NodeList> ParseNodeList(const Transcript& transcript)
{
    if (!transcript.contains(kDumpEndMarker.text()))
        return std::nullopt;
    return ParseRecords(View(transcript.text()).substr(WorkStart(transcript)));
}

std::size_t NodeListParser::Search::advance(View text, View literal, std::size_t begin, std::size_t end)
{
    if (found != npos)
        return found;
    // An occurrence that straddles the end looked at last time starts at
    // most len-1 characters before it.
    const std::size_t overlap = literal.size() - 1;
    const std::size_t start = std::max(begin, scanned > overlap ? scanned - overlap : 0);
    if (end > start && end - start >= literal.size()) {
        const std::size_t hit = text.substr(start, end - start).find(literal);
        if (hit != npos)
            found = start + hit;
    }
    scanned = std::max(scanned, end);
    return found;
}

namespace {

// The keys a record is read for, in the order of NodeListParser's searches;
// those with a line value also have a line-end search.
constexpr std::size_t kGatewayAt = 0, kClientAt = 1, kAddressAt = 2, kMulticastAt = 3, kTxChannelAt = 4,
                      kRxChannelAt = 5;
constexpr View kKeyTexts[] = {kTransmitterWord.text(), kReceiverWord.text(), kAddressKey.text(),
                              kMulticastKey.text(),    kTxChannelKey.text(), kRxChannelKey.text()};
constexpr bool kHasLine[] = {false, true, true, false, true, true};

}  // namespace

void NodeListParser::restart(std::size_t workStart)
{
    workStart_ = workStart;
    recordStart_ = workStart;
    stopped_ = false;
    separator_ = {};
    keys_ = {};
    lineEnds_ = {};
    rows_ = {};
    ++changes_;
}

void NodeListParser::readRecords(const Transcript& transcript)
{
    const View text(transcript.text());
    const std::size_t sepLength = kRecordSeparator.size();
    while (!stopped_) {
        const std::size_t sep = separator_.advance(text, kRecordSeparator.text(), recordStart_, text.size());
        // Until its "MY_MAC" has come, the record reaches at least up to
        // where one could still begin.
        const std::size_t known =
            sep != npos ? sep : std::max(recordStart_, text.size() > sepLength - 1 ? text.size() - (sepLength - 1) : 0);
        for (std::size_t k = 0; k < kKeys; ++k) {
            const std::size_t at = keys_[k].advance(text, kKeyTexts[k], recordStart_, known);
            if (at != npos && kHasLine[k])
                lineEnds_[k].advance(text, kLineEnd.text(), at + kKeyTexts[k].size(), known);
        }
        if (sep == npos)
            return;

        // The record [recordStart_, sep) is whole: the same reading as
        // ParseRecords gives it.
        const auto value = [&](std::size_t k) -> std::u16string {
            const std::size_t at = keys_[k].found, end = lineEnds_[k].found;
            if (at == npos || end == npos)
                return {};
            const std::size_t from = at + kKeyTexts[k].size();
            return std::u16string(text.substr(from, end - from));
        };
        const auto character = [&](std::size_t k) -> std::u16string {
            const std::size_t at = keys_[k].found;
            if (at == npos || at + kKeyTexts[k].size() >= sep)
                return {};
            return std::u16string(1, text[at + kKeyTexts[k].size()]);
        };
        if (keys_[kGatewayAt].found != npos) {
            TransmitterRow row{value(kAddressAt), character(kMulticastAt), value(kTxChannelAt)};
            rows_.last = LastRowValues{row.address, row.multicast, row.channel};
            rows_.transmitters.push_back(std::move(row));
        } else if (keys_[kClientAt].found != npos) {
            ReceiverRow row{value(kAddressAt), character(kMulticastAt), value(kRxChannelAt),
                            Decimal(rows_.receivers.size()), value(kClientAt)};
            rows_.last = LastRowValues{row.address, row.multicast, row.channel};
            rows_.receivers.push_back(std::move(row));
        } else {
            stopped_ = true;  // neither word: nothing after it is read
        }
        ++changes_;
        recordStart_ = sep + sepLength;
        separator_ = {};
        keys_ = {};
        lineEnds_ = {};
    }
}

std::shared_ptr<const NodeList> NodeListParser::parse(const Transcript& transcript)
{
    if (generation_ != transcript.generation()) {
        generation_ = transcript.generation();
        result_.reset();
        restart(0);
    }
    // The first "node_query" appears once; records read before it (from the
    // start of the text) are read again from there, which is only the text
    // of the arrival that brought it.
    const std::size_t workStart = WorkStart(transcript);
    if (workStart != workStart_)
        restart(workStart);
    readRecords(transcript);
    if (!transcript.contains(kDumpEndMarker.text()))
        return nullptr;
    if (!result_ || changesShown_ != changes_) {
        auto list = std::make_shared<NodeList>(rows_);
        // Each transmitter went in at the top of the list.
        std::reverse(list->transmitters.begin(), list->transmitters.end());
        result_ = std::move(list);
        changesShown_ = changes_;
    }
    return result_;
}

}  // namespace cv::nodes
