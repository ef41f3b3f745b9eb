#pragma once
// Options of one subcommand: "--name value", "--name=value" and flags;
// "--" ends the options.
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cv::cli {

struct OptionSpec {
    std::string name;  // "--jobs"
    bool takesValue = false;
};

class Args {
public:
    bool Parse(const std::vector<std::string>& in, std::size_t from, const std::vector<OptionSpec>& specs,
               std::string& error);
    bool has(const std::string& name) const { return values_.count(name) > 0; }
    std::optional<std::string> get(const std::string& name) const;  // the last one given
    std::vector<std::string> all(const std::string& name) const;
    const std::vector<std::string>& positional() const { return positional_; }

private:
    std::map<std::string, std::vector<std::string>> values_;
    std::vector<std::string> positional_;
};

}  // namespace cv::cli
