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
    // Go ahead with the endpoints that were found when some were not.
    bool partial = false;
    // Refuse, not wait, when another run is changing an endpoint.
    bool noWait = false;
    int jobs = 16, port = nodes::kShellPort;
    double replyTimeout = 5, connectTimeout = 3;
    std::vector<std::string> interfaces;
};

// What a command runs with: its streams, progress on err, the Context of the
// common options and the format its results are printed in.
struct Invocation {
    Invocation(std::ostream& out, std::ostream& err, const CommonOptions& options);
    // Prints the rows; the exit status they stand for (130 once a stop was
    // asked for).
    int Report(const Columns& columns, const Rows& rows);
    // Prints no records (an empty JSON array) for a run that failed before
    // it had any.
    int Fail(const Columns& columns, int status = kExitFailed);

    std::ostream& out;
    std::ostream& err;
    Reporter reporter;
    Context ctx;
    Format format;
    bool partial;
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
    // --partial, for a command that finds its endpoints before it sends.
    void AddPartial(CLI::App* command);
    // --no-wait, for a command that changes endpoints.
    void AddNoWait(CLI::App* command);
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
// Each address once, in the order first given; a repeat is noted on err.
std::vector<std::string> Distinct(const std::vector<std::string>& addresses, Reporter& reporter);

// Runs a scan; throws Usage for an unknown card, returns nullopt (reported)
// when the scan found nothing.
std::optional<ScanResult> RunScan(const Context& ctx);
// An endpoint as the scan lists it.
struct Listed {
    std::string address;
    Kind kind = Kind::Unknown;
    std::string number;  // a receiver's place in the list, "0", "1", ...
    std::string mac;  // as its own detail query said (Identify)
};
std::vector<Listed> ListedOf(const ScanResult& scan);
const Listed* FindListed(const std::vector<Listed>& fleet, const std::string& address);
// mac (lower case) -> the endpoint, from a detail query of every endpoint
// the scan lists.
// Listed endpoints whose detail query failed go to `silent`: a MAC not in
// the table may be theirs.
std::map<std::string, Listed> MacTable(const Context& ctx, const ScanResult& scan,
                                       std::vector<std::string>* silent = nullptr);
// Why a MAC is not in the table: none of the scan has it, or some did not
// say theirs.
std::string MacNotFound(const std::vector<std::string>& silent);

// The named endpoints as their own detail queries tell them, in parallel:
// only they are asked, and only to read, and no discovery is needed. One
// that does not answer is left out (its failure reported).
std::vector<Listed> Identify(const Context& ctx, const std::vector<std::string>& addresses);

// Where a run looks its endpoints up before it sends anything: receivers
// only, for wall and on-screen lines. A transmitter is a usage error that
// names it; an address `fleet` lacks goes to `missing`.
std::vector<Listed> ReceiversOnly(const std::vector<Listed>& fleet, const std::vector<std::string>& addresses,
                                  const std::string& what, std::vector<std::string>& missing);
// What a run does when some endpoints were not found: without --partial it
// stops with nothing sent (true, and the status in `status`); with it, the
// missing are reported and the rest goes ahead.
bool StopForMissing(Invocation& run, const std::vector<std::string>& missing, int& status);
// With --partial: a failed row for each endpoint that was not found, saying
// `why`; known(address) gives what else the row knows of it.
void AddMissingRows(Rows& rows, const Columns& columns, const std::vector<std::string>& missing,
                    const std::function<Record(const std::string&)>& known, const std::string& why);
// What a "find" row says of an endpoint that was asked and did not answer.
inline constexpr const char* kNoAnswer = "find: it did not answer its detail query";

std::string ReadFile(const std::string& path);  // throws Usage
// Whole or not at all: written beside, then renamed over.
bool WriteFile(const std::string& path, const std::string& text, std::ostream& err);
// Throws Usage unless WriteFile could write there: checked before anything
// is sent, so a wall never goes out only to be lost for a bad path.
void CheckWritable(const std::string& path);

// Reboot and factory-default: restarts each endpoint, waits for it and
// reports status back or failed, and the seconds it took.
int RunRestarts(Invocation& run, const std::vector<std::string>& addresses, double timeout, bool factoryDefault);

}  // namespace cv::cli
