#pragma once
// The node list: the transmitters and receivers of a "node_query --dump",
// read from the session transcript once the dump is complete.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nodes/Transcript.h"

namespace cv::nodes {

struct TransmitterRow {
    std::u16string address;    // "IP Address"
    std::u16string multicast;  // "Multicast": one character, or empty
    std::u16string channel;    // "Channel"
    bool operator==(const TransmitterRow&) const = default;
};

struct ReceiverRow {
    std::u16string address;
    std::u16string multicast;
    std::u16string channel;
    std::u16string number;      // "OSD": position among the receivers, from "0"
    std::u16string hostnameId;  // "Hostname ID"
    bool operator==(const ReceiverRow&) const = default;
};

// Values of the last row added, which the window keeps as its selected
// node address, list multicast text and channel text.
struct LastRowValues {
    std::u16string address;
    std::u16string multicast;
    std::u16string channel;
    bool operator==(const LastRowValues&) const = default;
};

struct NodeList {
    // Display order, top row first: transmitters newest-first (each one is
    // inserted at the top), receivers in dump order.
    std::vector<TransmitterRow> transmitters;
    std::vector<ReceiverRow> receivers;
    // Empty when the dump held no row; the window then keeps its values.
    std::optional<LastRowValues> last;
    // The Quick Video Wall button is enabled once a receiver row is added.
    bool anyReceiver() const { return !receivers.empty(); }
    bool operator==(const NodeList&) const = default;
};

// Parses the dump held by the transcript; nullopt while the end marker has
// not arrived. Each call reads the whole dump: the receive path should use
// NodeListParser, which does the work once per change. Whether the window is
// in node-listing mode is the caller's test.
std::optional<NodeList> ParseNodeList(const Transcript& transcript);

// Same result as ParseNodeList, remembered between arrivals. Only the text
// up to the last "MY_MAC" forms records, so the result is reused as long as
// neither that position nor the start of the dump has moved.
class NodeListParser {
public:
    // nullptr while the dump is incomplete. A pointer equal to the previous
    // call's means the rows did not change and need not be filled again.
    std::shared_ptr<const NodeList> parse(const Transcript& transcript);

private:
    std::uint64_t generation_ = 0;
    std::size_t workStart_ = 0;
    std::size_t workEnd_ = 0;
    std::shared_ptr<const NodeList> result_;
};

}  // namespace cv::nodes
