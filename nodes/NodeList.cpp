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
std::u16string ValueAfter(View record, View key) {
    const std::size_t at = record.find(key);
    if (at == npos) return {};
    const View rest = record.substr(at + key.size());
    const std::size_t end = rest.find(kLineEnd.text());
    if (end == npos) return {};
    return std::u16string(rest.substr(0, end));
}

// Exactly the one character after the key, whatever it is.
std::u16string CharacterAfter(View record, View key) {
    const std::size_t at = record.find(key);
    if (at == npos || at + key.size() >= record.size()) return {};
    return std::u16string(1, record[at + key.size()]);
}

std::u16string Decimal(std::size_t n) {
    const std::string digits = std::to_string(n);
    return std::u16string(digits.begin(), digits.end());
}

// Records end where "MY_MAC" starts; the text after the last one never forms
// a record. Views keep the whole run linear in the size of the dump.
NodeList ParseRecords(View work) {
    NodeList list;
    while (true) {
        const std::size_t sep = work.find(kRecordSeparator.text());
        if (sep == npos) break;  // the empty record ends the dump
        const View record = work.substr(0, sep);
        work.remove_prefix(sep + kRecordSeparator.size());

        if (record.find(kTransmitterWord.text()) != npos) {
            TransmitterRow row{ValueAfter(record, kAddressKey.text()),
                               CharacterAfter(record, kMulticastKey.text()),
                               ValueAfter(record, kTxChannelKey.text())};
            list.last = LastRowValues{row.address, row.multicast, row.channel};
            list.transmitters.push_back(std::move(row));
        } else if (record.find(kReceiverWord.text()) != npos) {
            ReceiverRow row{ValueAfter(record, kAddressKey.text()),
                            CharacterAfter(record, kMulticastKey.text()),
                            ValueAfter(record, kRxChannelKey.text()),
                            Decimal(list.receivers.size()),
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

std::size_t WorkStart(const Transcript& t) {
    const std::size_t at = t.find(kNodeQuery.text());
    return at == npos ? 0 : at;
}

}  // namespace

std::optional<NodeList> ParseNodeList(const Transcript& transcript) {
    if (!transcript.contains(kDumpEndMarker.text())) return std::nullopt;
    return ParseRecords(View(transcript.text()).substr(WorkStart(transcript)));
}

std::shared_ptr<const NodeList> NodeListParser::parse(const Transcript& transcript) {
    if (!transcript.contains(kDumpEndMarker.text())) return nullptr;
    const std::size_t workStart = WorkStart(transcript);
    // Records reach up to the end of the last "MY_MAC"; "node_query" and
    // "MY_MAC" cannot overlap, so one found before the work text is not in it.
    const std::size_t lastSeparator = transcript.rfind(kRecordSeparator.text());
    const std::size_t workEnd = (lastSeparator == npos || lastSeparator < workStart)
                                    ? workStart
                                    : lastSeparator + kRecordSeparator.size();
    if (result_ && generation_ == transcript.generation() && workStart_ == workStart &&
        workEnd_ == workEnd) {
        return result_;
    }
    const View work = View(transcript.text()).substr(workStart, workEnd - workStart);
    result_ = std::make_shared<const NodeList>(ParseRecords(work));
    generation_ = transcript.generation();
    workStart_ = workStart;
    workEnd_ = workEnd;
    return result_;
}

}  // namespace cv::nodes
