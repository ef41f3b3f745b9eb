#include "cli/Command.h"

#include "lan/AtomicFile.h"

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

std::optional<ScanResult> RunScan(const Context& ctx)
{
    ScanResult scan;
    bool usage = false;
    const auto scanned = Scan(ctx, scan, &usage);
    if (usage)
        throw Usage{scanned.error().detail};
    if (!scanned)
        return std::nullopt;
    return scan;
}

std::vector<Listed> ListedOf(const ScanResult& scan)
{
    std::vector<Listed> fleet;
    for (const auto& t : scan.nodes.transmitters)
        fleet.push_back({Narrow(t.address), Kind::Tx, ""});
    for (const auto& r : scan.nodes.receivers)
        fleet.push_back({Narrow(r.address), Kind::Rx, Narrow(r.number)});
    return fleet;
}

const Listed* FindListed(const std::vector<Listed>& fleet, const std::string& address)
{
    const auto it = std::find_if(fleet.begin(), fleet.end(), [&](const Listed& l) { return l.address == address; });
    return it == fleet.end() ? nullptr : &*it;
}

std::map<std::string, Listed> MacTable(const Context& ctx, const ScanResult& scan, std::vector<std::string>* silent)
{
    const std::vector<Listed> all = ListedOf(scan);
    std::map<std::string, Listed> macs;
    std::vector<bool> answered(all.size(), false);
    std::mutex m;
    RunParallel(all.size(), ctx.jobs, [&](std::size_t i) {
        Details d;
        if (ReadDetails(ctx, all[i].address, d)) {
            std::lock_guard lock(m);
            macs[MacKey(Narrow(d.values.macAddress))] = all[i];
            answered[i] = true;
        }
    });
    if (silent)
        for (std::size_t i = 0; i < all.size(); ++i)
            if (!answered[i])
                silent->push_back(all[i].address);
    return macs;
}

std::string MacNotFound(const std::vector<std::string>& silent)
{
    if (silent.empty())
        return "no endpoint of the scan has this mac";
    std::string list;
    for (const auto& a : silent)
        list += (list.empty() ? "" : ", ") + a;
    return "not found: " + std::to_string(silent.size()) +
        " endpoint(s) of the scan did not answer their detail query (" + list + ")";
}

std::vector<Listed> Identify(const Context& ctx, const std::vector<std::string>& addresses)
{
    std::vector<std::optional<Listed>> each(addresses.size());
    RunParallel(addresses.size(), ctx.jobs, [&](std::size_t i) {
        Details d;
        if (ReadDetails(ctx, addresses[i], d))
            each[i] = Listed{addresses[i], d.kind, ""};
    });
    std::vector<Listed> found;
    for (auto& l : each)
        if (l)
            found.push_back(std::move(*l));
    return found;
}

std::vector<Listed> ReceiversOnly(const std::vector<Listed>& fleet, const std::vector<std::string>& addresses,
                                  const std::string& what, std::vector<std::string>& missing)
{
    std::vector<Listed> found;
    std::string transmitters;
    for (const std::string& a : addresses) {
        const Listed* l = FindListed(fleet, a);
        if (!l)
            missing.push_back(a);
        else if (l->kind == Kind::Tx)
            transmitters += (transmitters.empty() ? "" : ", ") + a;
        else
            found.push_back(*l);
    }
    if (!transmitters.empty())
        throw Usage{transmitters +
                    (transmitters.find(',') == std::string::npos ? " is a transmitter" : " are transmitters") + ": " +
                    what + " go to receivers only; nothing was sent"};
    return found;
}

bool StopForMissing(Invocation& run, const std::vector<std::string>& missing, int& status)
{
    if (missing.empty() || run.partial)
        return false;
    run.err << "nothing was sent: " << missing.size()
            << " endpoint(s) not found (--partial goes ahead with the ones found)\n";
    status = kExitFailed;
    return true;
}

void AddMissingRows(Rows& rows, const Columns& columns, const std::vector<std::string>& missing,
                    const std::function<Record(const std::string&)>& known, const std::string& why)
{
    for (const std::string& m : missing) {
        Record r = NotStarted(columns, known(m), why);
        r["status"] = "failed";
        rows.rows.push_back(std::move(r));
        rows.failed = true;
    }
}

void CheckWritable(const std::string& path)
{
    struct stat st { };
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw Usage{"--save " + path + ": not a regular file; nothing was sent"};
    // What WriteFile will create first, tried now and taken away again.
    const std::string tmp = path + ".tmp";
    const bool existed = ::access(tmp.c_str(), F_OK) == 0;
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Usage{"--save " + path + ": " + std::strerror(errno) + "; nothing was sent"};
    ::close(fd);
    if (!existed)
        ::unlink(tmp.c_str());
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Usage{"cannot read " + path};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WriteFile(const std::string& path, const std::string& text, std::ostream& err)
{
    if (auto failed = lan::WriteFileAtomically(path, text)) {
        err << "cannot write " << path << ": " << *failed << "\n";
        return false;
    }
    return true;
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
