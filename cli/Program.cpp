// The command line being read: the program's help, the common options,
// how a command is declared, and what a run is given.
#include "cli/Command.h"

#include "cli/Interrupt.h"
#include "lan/Interfaces.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace cv::cli {

namespace {

const char* const kProgramText = R"(
Commissions a fleet of HDMI-over-IP transmitters and receivers from the
command line: the same lines as the Cortavia window, but every reply is
waited for and every result read back, on many endpoints at once.
)";

const char* const kProgramFooter = R"(Results go to standard output (a table, or --json / --csv); progress and
errors go to standard error. Exit status: 0 all confirmed, 1 some endpoint
failed, 2 usage error (nothing sent), 130 stopped by a signal (the rest not
started). "cortavia-cli help COMMAND" describes a command; --version.
)";

}  // namespace

Program::Program() : root_("", "cortavia-cli"), formatter_(std::make_shared<HelpFormatter>())
{
    root_.formatter(formatter_);
    // The last of an option given twice counts, as it always has.
    root_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    root_.set_help_flag("-h,--help", "this help");
    root_.require_subcommand(1);
    root_.footer(kProgramFooter);
    formatter_->Describe(&root_, {{"COMMAND [options]"}, {}, kProgramText});
    AddScanCommand(*this);
    AddInventoryCommand(*this);
    AddShowCommand(*this);
    AddSetCommand(*this);
    AddRebootCommand(*this);
    AddFactoryDefaultCommand(*this);
    AddUpgradeCommand(*this);
    AddWallCommands(*this);
    AddOsdCommand(*this);
}

CLI::App* Program::Add(CLI::App& parent, const std::string& name, HelpText help, bool formats)
{
    CLI::App* c = parent.add_subcommand(name, help.listed.empty() ? "" : help.listed[0].second);
    formatter_->Describe(c, std::move(help));
    c->set_help_flag("--help", "this help")->group(HelpFormatter::kCommonGroup);
    if (formats) {
        CLI::Option* json = c->add_flag("--json", common_.json, "results as JSON, an object per record");
        CLI::Option* csv = c->add_flag("--csv", common_.csv, "results as CSV with a header line");
        json->excludes(csv);
    }
    const char* group = HelpFormatter::kCommonGroup;
    c->add_option("--jobs", common_.jobs, "endpoints worked on at once (default 16)")
        ->type_name("N")
        ->check(CLI::Range(1, 1024))
        ->group(group);
    c->add_option("--interface", common_.interfaces, "send discovery on this card only (repeatable)")
        ->type_name("NAME")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->group(group);
    c->add_option("--reply-timeout", common_.replyTimeout, "longest silence while waiting for a reply (default 5)")
        ->type_name("S")
        ->check(kSeconds)
        ->group(group);
    c->add_option("--connect-timeout", common_.connectTimeout, "time a connection may take (default 3)")
        ->type_name("S")
        ->check(kSeconds)
        ->group(group);
    c->add_option("--port", common_.port, "the endpoints' shell port (default 24)")
        ->type_name("N")
        ->check(CLI::Range(1, 65535))
        ->group(group);
    c->add_flag("--quiet", common_.quiet, "no progress on standard error")->group(group);
    return c;
}

void Program::AddNoWait(CLI::App* command)
{
    command->add_flag("--no-wait", common_.noWait,
                      "refuse, not wait, when another run on this workstation is changing an endpoint");
}

void Program::AddPartial(CLI::App* command)
{
    command->add_flag("--partial", common_.partial,
                      "when some endpoints are not found, go ahead with the others (they are reported as failed)");
}

const Program::Handler* Program::HandlerOf(const CLI::App* command) const
{
    const auto it = handlers_.find(command);
    return it == handlers_.end() ? nullptr : &it->second;
}

// --- what the commands use --------------------------------------------------

const CLI::Validator kAddress(
    [](std::string& text) -> std::string {
        return lan::CanonicalIpv4(text) == text ? std::string() : "'" + text + "' is not a dotted IPv4 address";
    },
    "ADDRESS");

const CLI::Validator kSeconds(
    [](std::string& text) -> std::string {
        char* end = nullptr;
        const double d = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(d > 0) || d > 86400)
            return "takes a number of seconds, more than 0";
        return {};
    },
    "S");

Format FormatOf(const CommonOptions& o) { return o.json ? Format::Json : o.csv ? Format::Csv : Format::Table; }

std::chrono::milliseconds Ms(double seconds)
{
    return std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
}

Context MakeContext(const CommonOptions& o, Reporter& reporter)
{
    Context ctx;
    ctx.reporter = &reporter;
    ctx.timeouts.reply = Ms(o.replyTimeout);
    ctx.timeouts.connect = Ms(o.connectTimeout);
    ctx.jobs = static_cast<unsigned>(o.jobs);
    ctx.port = static_cast<unsigned short>(o.port);
    ctx.noWait = o.noWait;
    // A card named twice is one card: discovery goes out once on it.
    for (const std::string& name : o.interfaces)
        if (std::find(ctx.interfaces.begin(), ctx.interfaces.end(), name) == ctx.interfaces.end())
            ctx.interfaces.push_back(name);
    return ctx;
}

std::string CheckedAddress(const std::string& text)
{
    if (lan::CanonicalIpv4(text) != text)
        throw Usage{"'" + text + "' is not a dotted IPv4 address"};
    return text;
}

std::vector<std::string> Distinct(const std::vector<std::string>& addresses, Reporter& reporter)
{
    std::vector<std::string> once;
    for (const std::string& a : addresses) {
        if (std::find(once.begin(), once.end(), a) == once.end())
            once.push_back(a);
        else
            reporter.Note(a + " is named more than once; it is worked on once");
    }
    return once;
}
Invocation::Invocation(std::ostream& o, std::ostream& e, const CommonOptions& options)
    : out(o),
      err(e),
      reporter(e, options.quiet),
      format(FormatOf(options)),
      partial(options.partial)
{
    ctx = MakeContext(options, reporter);
    interrupt::JsonOnQuit(format == Format::Json);
}

int Invocation::Report(const Columns& columns, const Rows& rows)
{
    interrupt::JsonOnQuit(false);  // the results themselves follow
    PrintRecords(out, format, columns, rows.rows);
    if (interrupt::Requested())
        return kExitInterrupted;
    return rows.failed ? kExitFailed : kExitOk;
}

int Invocation::Fail(const Columns& columns, int status)
{
    interrupt::JsonOnQuit(false);
    if (format != Format::Table)
        PrintRecords(out, format, columns, {});
    return interrupt::Requested() ? kExitInterrupted : status;
}

}  // namespace cv::cli
