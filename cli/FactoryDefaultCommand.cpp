// cortavia-cli factory-default: reset, restart and wait, on purpose only.
#include "cli/Command.h"

namespace cv::cli {

void AddFactoryDefaultCommand(Program& p)
{
    CLI::App* c = p.Add(p.root(), "factory-default",
                        {{"factory-default ADDRESS... --yes [--timeout S] [--jobs N]"},
                         {{"factory-default ADDRESS... --yes", "reset to factory settings, restart, wait"}},
                         R"(
Runs the endpoint's reset script, restarts it and waits until it answers
again, as reboot does. Every setting of the endpoint is lost: --yes is
required.
)"});
    struct Options {
        std::vector<std::string> addresses;
        double timeout = 120;
        bool yes = false;
    };
    auto o = std::make_shared<Options>();
    c->add_option("ADDRESS", o->addresses, "the endpoints")->check(kAddress);
    c->add_flag("--yes", o->yes, "every setting of these endpoints is to be lost");
    c->add_option("--timeout", o->timeout, "how long each may take to answer again (default 120)")
        ->type_name("S")
        ->check(kSeconds);
    p.AddNoWait(c);
    p.AddPartial(c);
    p.Runs(c, [o](Invocation& run) {
        // Checked before the addresses, so the reason to stop reads first.
        if (!o->yes)
            throw Usage{"factory-default erases every setting of the endpoints; confirm with --yes"};
        if (o->addresses.empty())
            throw Usage{"factory-default takes one or more ADDRESS"};
        return RunRestarts(run, o->addresses, o->timeout, true);
    });
}

}  // namespace cv::cli
