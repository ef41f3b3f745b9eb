#pragma once
// Operator labels for transmitters ("Blu-ray", "Laptop at the lectern"):
// one JSON object, mac to label, in the state directory's labels.json,
// replaced whole on every change.
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

// PUT /labels/{mac}: {"label": "..."}
Result<std::string> LabelBody(const Json& body);

class LabelStore {
public:
    explicit LabelStore(std::string stateDir);
    // Every label, by mac; empty when none was ever saved.
    Result<std::map<std::string, std::string>> All() const;
    Result<void> Set(const std::string& mac, const std::string& label);
    // False when that mac had no label.
    Result<bool> Remove(const std::string& mac);
    // Why the labels file cannot be read, when it cannot.
    std::vector<std::string> Problems() const;

private:
    Result<void> Write(const std::map<std::string, std::string>& labels);
    std::string dir_;
};

}  // namespace cv::service
