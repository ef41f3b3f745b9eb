// cortavia-cli osd: each receiver shows its number on its own screen.
#include "cli/Command.h"

#include "nodes/Firmware.h"

namespace cv::cli {

namespace {
struct Target {
    std::string address, number, error;
};
}  // namespace

void AddOsdCommand(Program& p)
{
    CLI::App* c = p.Add(p.root(), "osd",
                        {{"osd on|off [ADDRESS...] [--jobs N]"},
                         {{"osd on|off [ADDRESS...]", "show each receiver's number on its screen"}},
                         R"(
Shows (on) or clears (off) each receiver's number on its own screen: the
number of its row in the scan's receiver list, as the window's Show OSD.
Without ADDRESS every receiver of the scan.
)"});
    struct Options {
        std::string state;
        std::vector<std::string> addresses;
    };
    auto o = std::make_shared<Options>();
    c->add_option("on|off", o->state, "show or clear")->required()->check(CLI::IsMember({"on", "off"}));
    c->add_option("ADDRESS", o->addresses, "these receivers only")->check(kAddress);
    p.Runs(c, [o](Invocation& run) {
        const bool on = o->state == "on";
        const Context& ctx = run.ctx;
        // The numbers are the RX list's, so a scan comes first in every case.
        const auto scan = RunScan(ctx);
        if (!scan)
            return kExitFailed;
        std::vector<Target> targets;
        if (o->addresses.empty()) {
            for (const auto& r : scan->nodes.receivers)
                targets.push_back({Narrow(r.address), Narrow(r.number), ""});
        } else {
            for (const auto& w : o->addresses) {
                Target t{w, "", "not in the receiver list of the scan"};
                for (const auto& r : scan->nodes.receivers)
                    if (Narrow(r.address) == w) {
                        t.number = Narrow(r.number);
                        t.error.clear();
                        break;
                    }
                if (!t.error.empty())
                    run.reporter.Failure(w, "find", t.error);
                targets.push_back(t);
            }
        }
        const Rows rows = CollectRows(targets.size(), ctx.jobs, [&](std::size_t i) {
            Target t = targets[i];
            if (t.error.empty()) {
                const nodes::WireLine line{
                    on ? nodes::OsdOnLine(Widen(t.number)) : std::u16string(nodes::kOsdOff.text()), false, true, 0};
                if (auto sent = SendLines(ctx, t.address, {line}, nodes::kShortLineBuffer, on ? "osd on" : "osd off");
                    !sent)
                    t.error = sent.error().text();
            }
            Record r = {{"address", t.address},
                        {"number", t.number},
                        {"osd", on ? "on" : "off"},
                        {"status", t.error.empty() ? "sent" : "failed"}};
            if (!t.error.empty())
                r["error"] = t.error;
            return Row(std::move(r), !t.error.empty());
        });
        return run.Report({"address", "number", "osd", "status", "error"}, rows);
    });
}

}  // namespace cv::cli
