#include "cli/Cli.h"

#include "cli/Command.h"

#include <algorithm>
#include <sstream>

namespace cv::cli {

namespace {

// The command the line selected, as deep as it went.
const CLI::App* Selected(const CLI::App& root)
{
    const CLI::App* a = &root;
    while (!a->get_subcommands().empty())
        a = a->get_subcommands().front();
    return a;
}

// What went wrong, in the words of the command that was being read.
std::string Message(const CLI::App* at, const CLI::ParseError& e, const std::vector<std::string>& args)
{
    const std::string what = e.what();
    // CLI11's own words where they are plainer than ours, ours where not;
    // ours come from the line and the commands, never from CLI11's text.
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
        // An option that takes a value, last on the line or before another option.
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (args[i].rfind("--", 0) != 0 || args[i].find('=') != std::string::npos)
                continue;
            const CLI::Option* o = at->get_option_no_throw(args[i]);
            const bool noValue = i + 1 == args.size() || args[i + 1].rfind('-', 0) == 0;
            if (o && o->get_type_size() > 0 && o->get_expected_min() > 0 && noValue)
                return args[i] + " needs a value";
        }
    }
    if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
        const std::vector<std::string> extras = at->remaining();
        if (!extras.empty() &&
            std::all_of(extras.begin(), extras.end(), [](const std::string& w) { return w.rfind('-', 0) == 0; })) {
            std::string list;
            for (const auto& w : extras)
                list += (list.empty() ? "" : ", ") + w;
            return (extras.size() == 1 ? "unknown option " : "unknown options ") + list;
        }
    }
    const auto subs = at->get_subcommands({});
    if (subs.empty() || !at->get_parent())
        return what;
    std::string names;
    for (std::size_t i = 0; i < subs.size(); ++i)
        names += (i == 0 ? "" : i + 1 == subs.size() ? " or " : ", ") + subs[i]->get_name();
    // The word after the command's name, when it is none of its commands.
    const auto name = std::find(args.begin(), args.end(), at->get_name());
    if (name != args.end() && name + 1 != args.end() && !(name + 1)->empty() && (*(name + 1))[0] != '-')
        return "unknown " + at->get_name() + " command '" + *(name + 1) + "'; it takes " + names;
    return at->get_name() + " takes " + names;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    Program program;
    CLI::App& app = program.root();
    if (args.empty()) {
        err << app.help();
        return kExitUsage;
    }
    if (args[0] == "--version") {
        if (args.size() > 1) {
            err << "cortavia-cli: --version takes nothing more (see cortavia-cli --help)\n";
            return kExitUsage;
        }
        out << "cortavia-cli " << CORTAVIA_VERSION << "\n";
        return kExitOk;
    }
    if (args[0] == "help") {
        // "help wall quick" is "wall quick --help".
        if (args.size() == 1) {
            out << app.help();
            return kExitOk;
        }
        std::vector<std::string> asked(args.begin() + 1, args.end());
        asked.push_back("--help");
        return Run(asked, out, err);
    }
    const auto subs = app.get_subcommands({});
    const bool known =
        std::any_of(subs.begin(), subs.end(), [&](const CLI::App* c) { return c->get_name() == args[0]; });
    if (args[0].empty() || (args[0][0] != '-' && !known)) {
        err << "cortavia-cli: unknown command '" << args[0] << "' (see cortavia-cli --help)\n";
        return kExitUsage;
    }
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        const CLI::App* at = Selected(app);
        const std::string path = CommandPath(at);
        err << path << ": " << Message(at, e, args) << " (see " << path << " --help)\n";
        return kExitUsage;
    }
    const CLI::App* command = Selected(app);
    const Program::Handler* run = program.HandlerOf(command);
    if (!run) {
        err << CommandPath(command) << ": nothing to run (see " << CommandPath(command) << " --help)\n";
        return kExitUsage;
    }
    // A usage error sends nothing and prints no records: its status says so.
    try {
        Invocation invocation(out, err, program.common());
        return (*run)(invocation);
    } catch (const Usage& u) {
        err << CommandPath(command) << ": " << u.message << "\n";
        return kExitUsage;
    }
}

std::vector<std::pair<std::string, std::vector<std::string>>> CommandsAndOptions()
{
    Program program;
    std::vector<std::pair<std::string, std::vector<std::string>>> all;
    std::vector<const CLI::App*> todo = {&program.root()};
    while (!todo.empty()) {
        const CLI::App* a = todo.front();
        todo.erase(todo.begin());
        const auto subs = a->get_subcommands({});
        todo.insert(todo.end(), subs.begin(), subs.end());
        if (!a->get_parent())
            continue;
        std::vector<std::string> options;
        for (const CLI::Option* o : a->get_options())
            for (const std::string& n : o->get_lnames())
                options.push_back("--" + n);
        const std::string path = CommandPath(a);
        all.emplace_back(path.substr(path.find(' ') + 1), std::move(options));
    }
    return all;
}

}  // namespace cv::cli
