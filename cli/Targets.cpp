// Finding the endpoints a run is about before anything is sent: the scan,
// each one's own detail query, MACs, and what a run does about the missing.
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
        fleet.push_back({Narrow(t.address), Kind::Tx, "", ""});
    for (const auto& r : scan.nodes.receivers)
        fleet.push_back({Narrow(r.address), Kind::Rx, Narrow(r.number), ""});
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
            each[i] = Listed{addresses[i], d.kind, "", Narrow(d.values.macAddress)};
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

}  // namespace cv::cli
