// cortavia-cli reboot: restart and wait until each endpoint answers again.
#include "cli/Command.h"

#include <cmath>

namespace cv::cli {

int RunRestarts(Invocation& run, const std::vector<std::string>& given, double timeout, bool factoryDefault)
{
    run.ctx.restartTimeout = Ms(timeout);
    const std::vector<std::string> named = Distinct(given, run.reporter);
    // Every endpoint is found before any is restarted, as set, wall and osd
    // do: one that does not answer stops the run unless --partial.
    const std::vector<Listed> found = Identify(run.ctx, named);
    std::vector<std::string> addresses, missing;
    for (const std::string& a : named)
        (FindListed(found, a) ? addresses : missing).push_back(a);
    if (int status = 0; StopForMissing(run, missing, status))
        return run.Fail(kRestartColumns, status);
    const auto notStarted = [&](std::size_t i) {
        return Row(NotStarted(kRestartColumns, {{"address", addresses[i]}}, kInterruptedText), false);
    };
    const Rows rows = CollectRows(
        addresses.size(), run.ctx.jobs,
        [&](std::size_t i) {
            const Listed* l = FindListed(found, addresses[i]);
            const RestartResult r = Reboot(run.ctx, addresses[i], factoryDefault, l ? l->mac : std::string());
            if (r.notStarted)
                return notStarted(i);
            Record row = {
                {"address", addresses[i]},
                {"status", r.error ? "failed" : "back"},
                {"seconds",
                 r.error ? Record() : Record(std::round(static_cast<double>(r.downFor.count()) / 100.0) / 10.0)}};
            // Back at another address: found again by its MAC.
            if (!r.address.empty() && r.address != addresses[i])
                row["new_address"] = r.address;
            if (r.error)
                row["error"] = r.error->text();
            return Row(std::move(row), r.error.has_value());
        },
        notStarted);
    Rows all = rows;
    AddMissingRows(
        all, kRestartColumns, missing,
        [](const std::string& a) {
            return Record{{"address", a}};
        },
        kNoAnswer);
    return run.Report(kRestartColumns, all);
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
    p.AddNoWait(c);
    p.AddPartial(c);
    p.Runs(c, [o](Invocation& run) { return RunRestarts(run, o->addresses, o->timeout, false); });
}

}  // namespace cv::cli
