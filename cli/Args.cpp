#include "cli/Args.h"

namespace cv::cli {

bool Args::Parse(const std::vector<std::string>& in, std::size_t from, const std::vector<OptionSpec>& specs,
                 std::string& error)
{
    bool options = true;
    for (std::size_t i = from; i < in.size(); ++i) {
        const std::string& a = in[i];
        if (options && a == "--") {
            options = false;
            continue;
        }
        if (!options || a.size() < 2 || a[0] != '-' || (a[1] >= '0' && a[1] <= '9')) {
            positional_.push_back(a);
            continue;
        }
        std::string name = a, value;
        bool inlineValue = false;
        if (const auto eq = a.find('='); eq != std::string::npos && a.rfind("--", 0) == 0) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            inlineValue = true;
        }
        const OptionSpec* spec = nullptr;
        for (const auto& s : specs)
            if (s.name == name)
                spec = &s;
        if (!spec) {
            error = "unknown option " + name;
            return false;
        }
        if (spec->takesValue && !inlineValue) {
            if (i + 1 >= in.size()) {
                error = name + " needs a value";
                return false;
            }
            value = in[++i];
        } else if (!spec->takesValue && inlineValue) {
            error = name + " takes no value";
            return false;
        }
        values_[name].push_back(value);
    }
    return true;
}

std::optional<std::string> Args::get(const std::string& name) const
{
    const auto it = values_.find(name);
    if (it == values_.end() || it->second.empty())
        return std::nullopt;
    return it->second.back();
}

std::vector<std::string> Args::all(const std::string& name) const
{
    const auto it = values_.find(name);
    return it == values_.end() ? std::vector<std::string>{} : it->second;
}

}  // namespace cv::cli
