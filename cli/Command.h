#pragma once
// What the subcommands share: the common options, usage errors, turning
// options into a Context, the scan, files, and how a command is declared.
// Each subcommand lives in its own file and declares itself through
// Program.
#include "cli/Cli.h"
#include "cli/Fleet.h"
#include "cli/Help.h"
#include "cli/Output.h"
#include "cli/Parallel.h"
#include "nodes/Firmware.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace cv::cli {

// A wrong option or value found once the line is parsed: exit 2, nothing sent.
struct Usage {
    std::string message;
};

// The options every command takes; one set, as one command runs at a time.
struct CommonOptions {
    bool json = false, csv = false, quiet = false;
    int jobs = 16, port = nodes::kShellPort;
    double replyTimeout = 5, connectTimeout = 3;
    std::vector<std::string> interfaces;
};

// What a command runs with: its streams, progress on err, the Context of the
// common options and the format its results are printed in.
struct Invocation {
    Invocation(std::ostream& out, std::ostream& err, const CommonOptions& options);
    // Prints the rows; the exit status they stand for.
    int Report(const std::vector<std::string>& columns, const Rows& rows);

    std::ostream& out;
    std::ostream& err;
    Reporter reporter;
    Context ctx;
    Format format;
};

// The command line being read: the tree of commands and what runs each.
class Program {
public:
    using Handler = std::function<int(Invocation& run)>;

    Program();
    CLI::App& root() { return root_; }
    const CommonOptions& common() const { return common_; }

    // A command under parent with its help, the common options and, when
    // formats, --json and --csv. What it runs is set with Runs once its own
    // options exist.
    CLI::App* Add(CLI::App& parent, const std::string& name, HelpText help, bool formats = true);
    void Runs(CLI::App* command, Handler run) { handlers_[command] = std::move(run); }
    const Handler* HandlerOf(const CLI::App* command) const;

private:
    CLI::App root_;
    std::shared_ptr<HelpFormatter> formatter_;
    CommonOptions common_;
    std::map<const CLI::App*, Handler> handlers_;
};

// Each file's commands.
void AddScanCommand(Program& p);
void AddInventoryCommand(Program& p);
void AddShowCommand(Program& p);
void AddSetCommand(Program& p);
void AddRebootCommand(Program& p);
void AddFactoryDefaultCommand(Program& p);
void AddUpgradeCommand(Program& p);
void AddWallCommands(Program& p);
void AddOsdCommand(Program& p);

// --- what the commands use --------------------------------------------------

// Refuses anything but a dotted IPv4 address, so no text rides into a line.
extern const CLI::Validator kAddress;
// A number of seconds, more than 0 and at most a day.
extern const CLI::Validator kSeconds;

Format FormatOf(const CommonOptions& o);
std::chrono::milliseconds Ms(double seconds);
Context MakeContext(const CommonOptions& o, Reporter& reporter);

std::string CheckedAddress(const std::string& text);  // throws Usage
std::string Lower(std::string s);

// Runs a scan; throws Usage for an unknown card, returns nullopt (reported)
// when the scan found nothing.
std::optional<ScanResult> RunScan(const Context& ctx);
// mac (lower case) -> address, from a scan and a detail query of every
// node; scanned is false when the scan found nothing.
std::map<std::string, std::string> MacTable(const Context& ctx, bool& scanned);

std::string ReadFile(const std::string& path);  // throws Usage
// Whole or not at all: written beside, then renamed over.
bool WriteFile(const std::string& path, const std::string& text, std::ostream& err);

// Reboot and factory-default: restarts each endpoint, waits for it and
// reports status back or failed, and the seconds it took.
int RunRestarts(Invocation& run, const std::vector<std::string>& addresses, double timeout, bool factoryDefault);

}  // namespace cv::cli
