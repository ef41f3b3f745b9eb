#pragma once
// Operator labels for transmitters and receivers ("Blu-ray", "Lectern PC"),
// each with an optional room for receivers ("Bar", "Hall 2"): one JSON
// object in the state directory's labels.json, mac to label (or to
// {"label", "room"} when there is a room), replaced whole on every change.
#include "service/Model.h"
#include "service/StateFiles.h"

#include <map>
#include <optional>
#include <string>

namespace cv::service {

inline constexpr std::size_t kMaxLabelCharacters = 40;

// Why a label cannot be kept, naming the field, or nullopt. 1 to 40
// characters of UTF-8 text, no control characters, no spaces at either
// end: it is shown, never sent to an endpoint.
std::optional<std::string> LabelRefusal(const std::string& label);

struct Label {
    std::string label;
    std::string room;  // empty: no room
};

// PUT /labels/{mac}: {"label": "...", "room": "..."}, room optional; a room
// follows the label's rule.
Result<Label> LabelBody(const Json& body);

class LabelStore {
public:
    explicit LabelStore(std::string stateDir);
    // Every label, by mac; empty when none was ever saved.
    Result<std::map<std::string, std::string>> All() const;
    // Every room, by mac; only labels that have one.
    Result<std::map<std::string, std::string>> Rooms() const;
    Result<void> Set(const std::string& mac, const std::string& label, const std::string& room = {});
    // False when that mac had no label.
    Result<bool> Remove(const std::string& mac);
    // Why the labels file cannot be read, when it cannot.
    std::vector<std::string> Problems() const;

private:
    Result<std::map<std::string, Label>> Entries() const;
    Result<void> Write(const std::map<std::string, Label>& labels);
    std::string dir_;
};

}  // namespace cv::service
