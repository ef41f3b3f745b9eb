#pragma once
// The node list: the transmitters and receivers of a "node_query --dump",
// read from the session transcript once the dump is complete.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nodes/Transcript.h"

namespace cv::nodes {

struct TransmitterRow {
    std::u16string address;  // "IP Address"
    std::u16string multicast;  // "Multicast": one character, or empty
    std::u16string channel;  // "Channel"
    bool operator==(const TransmitterRow&) const = default;
};

struct ReceiverRow {
    std::u16string address;
    std::u16string multicast;
    std::u16string channel;
    std::u16string number;  // "OSD": position among the receivers, from "0"
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
// NodeListParser, which reads every character once. Whether the window is
// in node-listing mode is the caller's test.
std::optional<NodeList> ParseNodeList(const Transcript& transcript);

// Same result as ParseNodeList, built up between arrivals: each record is
// read as its "MY_MAC" arrives, and the searches inside the record still
// open remember how far they have looked. So every arrival costs the size of
// that arrival, however long a record is (a flooding endpoint sends
// megabytes before the first one ends).
class NodeListParser {
public:
    // nullptr while the dump is incomplete. A pointer equal to the previous
    // call's means the rows did not change and need not be filled again.
    std::shared_ptr<const NodeList> parse(const Transcript& transcript);

    // The first occurrence of a literal inside [begin, end) of a growing
    // text, found over several calls at the cost of what each call adds.
    struct Search {
        std::size_t scanned = 0;  // end of the range the last call looked at
        std::size_t found = std::u16string::npos;
        std::size_t advance(std::u16string_view text, std::u16string_view literal, std::size_t begin, std::size_t end);
    };

private:
    void restart(std::size_t workStart);
    void readRecords(const Transcript& transcript);

    // One per key the rows read, plus the line end after each value.
    static constexpr std::size_t kKeys = 6;

    std::uint64_t generation_ = 0;
    std::size_t workStart_ = 0;
    std::size_t recordStart_ = 0;
    bool stopped_ = false;  // a record with neither word ends the reading
    Search separator_;
    std::array<Search, kKeys> keys_{};
    std::array<Search, kKeys> lineEnds_{};
    NodeList rows_;  // transmitters in dump order while building
    std::uint64_t changes_ = 0;
    std::uint64_t changesShown_ = 0;
    std::shared_ptr<const NodeList> result_;
};

}  // namespace cv::nodes
