// cortavia-cli upgrade: firmware from this workstation's TFTP server.
#include "cli/Command.h"

#include <sys/stat.h>
#include <unistd.h>

namespace cv::cli {

namespace {
Record UpgradeRecord(const std::string& address, const UpgradeResult& r)
{
    Record row = {{"address", address},
                  {"kind", endpoint::ToString(r.kind)},
                  {"file", r.file},
                  {"server", r.server},
                  {"version_before", r.versionBefore},
                  {"version_after", r.versionAfter},
                  {"status",
                   r.notStarted      ? "not started"
                       : r.unchanged ? "unchanged"
                       : r.error     ? "failed"
                                     : "upgraded"}};
    if (r.error)
        row["error"] = r.error->text();
    return row;
}
}  // namespace

void AddUpgradeCommand(Program& p)
{
    CLI::App* c = p.Add(p.root(), "upgrade",
                        {{"upgrade ADDRESS... --tftp-root DIR [--same-version-ok] [--jobs N] [--timeout S]"},
                         {{"upgrade ADDRESS... --tftp-root DIR", "fetch and install firmware from this workstation"}},
                         R"(
Installs firmware that the endpoint fetches from this workstation's TFTP
server (webfwh.bin for a transmitter, webfwc.bin for a receiver, in DIR).
First the file is fetched from the server at the address that faces the
endpoint; only when it gives out the very file in DIR (same size and
checksum) are the six upgrade lines sent. A fetch
that reports "File not found" or "Transfer timed out" stops there. Then it
waits until the endpoint answers again (up to S seconds, default 600) and
reports the firmware version before and after: the same version after is
'unchanged', exit status 1, unless --same-version-ok.
)"});
    struct Options {
        std::vector<std::string> addresses;
        std::string root;
        double timeout = 600;
        bool sameVersionOk = false;
    };
    auto o = std::make_shared<Options>();
    c->add_option("ADDRESS", o->addresses, "the endpoints")->check(kAddress);
    CLI::Option* root = c->add_option("--tftp-root", o->root, "the directory the workstation's TFTP server gives out")
                            ->type_name("DIR");
    c->add_option("--timeout", o->timeout, "how long the update and the restart may take (default 600)")
        ->type_name("S")
        ->check(kSeconds);
    p.AddNoWait(c);
    c->add_flag("--same-version-ok", o->sameVersionOk, "the same version after as before is no failure");
    p.Runs(c, [o, root](Invocation& run) {
        if (!root->count())
            throw Usage{"upgrade needs --tftp-root DIR, the directory the workstation's TFTP server gives out"};
        if (o->addresses.empty())
            throw Usage{"upgrade takes one or more ADDRESS"};
        struct stat st { };
        if (::stat(o->root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(o->root.c_str(), R_OK | X_OK) != 0)
            throw Usage{"--tftp-root " + o->root + ": not a directory this workstation can read; nothing was sent"};
        Context& ctx = run.ctx;
        ctx.restartTimeout = ctx.upgradeTimeout = Ms(o->timeout);
        const std::vector<std::string> addresses = Distinct(o->addresses, run.reporter);
        const Rows rows = CollectRows(
            addresses.size(), ctx.jobs,
            [&](std::size_t i) {
                const UpgradeResult r = Upgrade(ctx, addresses[i], o->root, o->sameVersionOk);
                return Row(UpgradeRecord(addresses[i], r), r.error.has_value() && !r.notStarted);
            },
            [&](std::size_t i) {
                return Row(NotStarted(kUpgradeColumns, {{"address", addresses[i]}}, kInterruptedText), false);
            });
        return run.Report(kUpgradeColumns, rows);
    });
}

}  // namespace cv::cli
