// cortavia-cli reboot: restart and wait until each endpoint answers again.
#include "cli/Command.h"

namespace cv::cli {

Rows RestartRow(const Context& ctx, const std::string& address, bool factoryDefault)
{
    const RestartResult r = Reboot(ctx, address, factoryDefault);
    Record row = {{"address", address},
                  {"status", r.error ? "failed" : "back"},
                  {"seconds", r.error ? Record() : Record(static_cast<double>(r.downFor.count() / 100) / 10.0)}};
    if (r.error)
        row["error"] = r.error->text();
    return Row(std::move(row), r.error.has_value());
}

void AddRebootCommand(Program& p)
{
    CLI::App* c = p.Add(p.root(), "reboot",
                        {{"reboot ADDRESS... [--timeout S] [--jobs N]"},
                         {{"reboot ADDRESS...", "restart and wait until each answers again"}},
                         R"(
Restarts each endpoint and waits until it answers again (its session drops,
then a new login works), up to S seconds (default 120). One record each:
status back or failed, and the seconds it took.
)"});
    struct Options {
        std::vector<std::string> addresses;
        double timeout = 120;
    };
    auto o = std::make_shared<Options>();
    c->add_option("ADDRESS", o->addresses, "the endpoints")->required()->check(kAddress);
    c->add_option("--timeout", o->timeout, "how long each may take to answer again (default 120)")
        ->type_name("S")
        ->check(kSeconds);
    p.Runs(c, [&p, o](std::ostream& out, std::ostream& err) {
        Reporter rep(err, p.common().quiet);
        Context ctx = MakeContext(p.common(), rep);
        ctx.restartTimeout = Ms(o->timeout);
        const Rows rows = CollectRows(o->addresses.size(), ctx.jobs,
                                      [&](std::size_t i) { return RestartRow(ctx, o->addresses[i], false); });
        return Report(out, FormatOf(p.common()), {"address", "status", "seconds", "error"}, rows);
    });
}

}  // namespace cv::cli
