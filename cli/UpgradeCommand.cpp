// cortavia-cli upgrade: firmware from this workstation's TFTP server.
#include "cli/Command.h"

namespace cv::cli {

namespace {
Rows UpgradeRow(const Context& ctx, const std::string& address, const std::string& root)
{
    const UpgradeResult r = Upgrade(ctx, address, root);
    Record row = {{"address", address},
                  {"kind", endpoint::ToString(r.kind)},
                  {"file", r.file},
                  {"server", r.server},
                  {"version_before", r.versionBefore},
                  {"version_after", r.versionAfter},
                  {"status", r.error ? "failed" : "upgraded"}};
    if (r.error)
        row["error"] = r.error->text();
    return Row(std::move(row), r.error.has_value());
}
}  // namespace

void AddUpgradeCommand(Program& p)
{
    CLI::App* c = p.Add(p.root(), "upgrade",
                        {{"upgrade ADDRESS... --tftp-root DIR [--jobs N] [--timeout S]"},
                         {{"upgrade ADDRESS... --tftp-root DIR", "fetch and install firmware from this workstation"}},
                         R"(
Installs firmware that the endpoint fetches from this workstation's TFTP
server (webfwh.bin for a transmitter, webfwc.bin for a receiver, in DIR).
First the server is asked for that file at the address that faces the
endpoint; only when it gives it out are the six upgrade lines sent. A fetch
that reports "File not found" or "Transfer timed out" stops there. Then it
waits until the endpoint answers again (up to S seconds, default 600) and
reports the firmware version before and after.
)"});
    struct Options {
        std::vector<std::string> addresses;
        std::string root;
        double timeout = 600;
    };
    auto o = std::make_shared<Options>();
    c->add_option("ADDRESS", o->addresses, "the endpoints")->check(kAddress);
    CLI::Option* root = c->add_option("--tftp-root", o->root, "the directory the workstation's TFTP server gives out")
                            ->type_name("DIR");
    c->add_option("--timeout", o->timeout, "how long the update and the restart may take (default 600)")
        ->type_name("S")
        ->check(kSeconds);
    p.Runs(c, [o, root](Invocation& run) {
        if (!root->count())
            throw Usage{"upgrade needs --tftp-root DIR, the directory the workstation's TFTP server gives out"};
        if (o->addresses.empty())
            throw Usage{"upgrade takes one or more ADDRESS"};
        Context& ctx = run.ctx;
        ctx.restartTimeout = ctx.upgradeTimeout = Ms(o->timeout);
        const Rows rows = CollectRows(o->addresses.size(), ctx.jobs,
                                      [&](std::size_t i) { return UpgradeRow(ctx, o->addresses[i], o->root); });
        return run.Report({"address", "kind", "file", "server", "version_before", "version_after", "status", "error"},
                          rows);
    });
}

}  // namespace cv::cli
