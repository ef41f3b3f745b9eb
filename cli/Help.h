#pragma once
// The help texts: what each command says beyond its options (its usage
// lines, its place in the program's list, its paragraphs), kept beside the
// options CLI11 knows, and printed in the program's own layout.
#include <CLI/CLI.hpp>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace cv::cli {

struct HelpText {
    // "show ADDRESS [--json|--csv]": one form each, without the program name.
    std::vector<std::string> usage;
    // Its lines in the program's list of commands: form and summary.
    std::vector<std::pair<std::string, std::string>> listed;
    // Below the usage: an empty line, then paragraphs.
    std::string text;
};

// The options of each command under "Options", then the ones every command
// takes under "Common options"; the program's help lists the commands.
class HelpFormatter : public CLI::Formatter {
public:
    static constexpr const char* kCommonGroup = "Common options";

    void Describe(const CLI::App* app, HelpText help) { help_[app] = std::move(help); }
    const HelpText* Find(const CLI::App* app) const;

    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override;

private:
    std::string Options(const CLI::App* app, bool common) const;
    std::map<const CLI::App*, HelpText> help_;
};

// "cortavia-cli wall quick" for the app of `wall quick`.
std::string CommandPath(const CLI::App* app);

}  // namespace cv::cli
