// cortavia-cli osd: each receiver shows its number on its own screen.
#include "cli/Command.h"

namespace cv::cli {

void AddOsdCommand(Program& p)
{
    CLI::App* c = p.Add(p.root(), "osd",
                        {{"osd on|off [ADDRESS...] [--partial] [--jobs N]"},
                         {{"osd on|off [ADDRESS...]", "show each receiver's number on its screen"}},
                         R"(
Shows (on) or clears (off) each receiver's number on its own screen: the
number of its row in the scan's receiver list, as the window's Show OSD.
Without ADDRESS every receiver of the scan. A transmitter is refused by
name, and an address the scan does not list stops the run (--partial goes
ahead with the others), before any line is sent.
)"});
    struct Options {
        std::string state;
        std::vector<std::string> addresses;
    };
    auto o = std::make_shared<Options>();
    c->add_option("on|off", o->state, "show or clear")->required()->check(CLI::IsMember({"on", "off"}));
    c->add_option("ADDRESS", o->addresses, "these receivers only")->check(kAddress);
    p.AddPartial(c);
    p.Runs(c, [o](Invocation& run) {
        const bool on = o->state == "on";
        const Context& ctx = run.ctx;
        const std::vector<std::string> asked = Distinct(o->addresses, run.reporter);
        // The numbers are the RX list's, so a scan comes first in every case.
        const auto scan = RunScan(ctx);
        if (!scan)
            return run.Fail(kOsdColumns);
        std::vector<Listed> targets;
        std::vector<std::string> missing;
        if (asked.empty()) {
            for (const Listed& l : ListedOf(*scan))
                if (l.kind == Kind::Rx)
                    targets.push_back(l);
        } else {
            targets = ReceiversOnly(ListedOf(*scan), asked, "on-screen lines", missing);
            for (const std::string& m : missing)
                run.reporter.Failure(m, "find", "not in the receiver list of the scan");
            if (int status = 0; StopForMissing(run, missing, status))
                return run.Fail(kOsdColumns, status);
        }
        const auto record = [&](const std::string& address, const std::string& number) {
            return Record{{"address", address}, {"number", NumberOrNull(number)}, {"osd", on ? "on" : "off"}};
        };
        Rows rows = CollectRows(
            targets.size(), ctx.jobs,
            [&](std::size_t i) {
                const Listed& t = targets[i];
                const auto sent = SendLines(ctx, t.address, {endpoint::OsdBufferedLine(on, Widen(t.number))},
                                            on ? "osd on" : "osd off");
                Record r = record(t.address, t.number);
                r["status"] = sent ? "sent" : "failed";
                if (!sent)
                    r["error"] = sent.error().text();
                return Row(std::move(r), !sent);
            },
            [&](std::size_t i) {
                return Row(NotStarted(kOsdColumns, record(targets[i].address, targets[i].number), kInterruptedText),
                           false);
            });
        AddMissingRows(
            rows, kOsdColumns, missing, [&](const std::string& m) { return record(m, ""); },
            "find: not in the receiver list of the scan");
        return run.Report(kOsdColumns, rows);
    });
}

}  // namespace cv::cli
