// The procedures fed whatever outcomes the input says: logins that fail,
// sessions that never drop, another endpoint at the address, a TFTP server
// with another file, a stop at any moment. Whatever happens, a procedure
// must finish, act on a session only once it is open, never change the
// endpoint after a stop came first, never install a file the server did
// not prove, and never call another endpoint's answer its own.
#include "endpoint/Procedures.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

using namespace cv::endpoint;
using Do = Action::Do;

namespace {
// Names the broken rule's line, for the crash report.
void Check(bool ok, int line = __builtin_LINE())
{
    if (!ok) {
        std::fprintf(stderr, "ProceduresFuzz.cpp:%d: a procedure broke this rule\n", line);
        std::abort();
    }
}

const std::string kOurs = "02:C7:1A:00:00:2B";
const std::string kTheirs = "02:C7:1A:00:00:99";

cv::nodes::Transcript Dump(const std::string& mac, const char* isHost)
{
    cv::nodes::Transcript t;
    t.append(u"root\r\n/ # lmparam g CH_SELECT_V\r\n0003\r\n/ # cat /etc/version\r\ninitrd2m: A7.2.1\r\n"
             u"/ # lmparam dump\r\nHOSTNAME_ID=x\r\nMY_MAC=" +
             Widen(mac) + u"\r\n" + Widen(isHost) + u"\r\n/ # ");
    return t;
}

bool Changes(const Action& a)
{
    if (a.what != Do::Run)
        return false;
    for (const auto& s : a.steps)
        if (s.name == "send" || s.name == "reset" || s.name == "reboot" || s.name == "update")
            return true;
    return false;
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) { }
    // Past the end every byte reads 0: nothing answers, nothing is done.
    std::uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_, at_ = 0;
};
}  // namespace

int ProcedureOutcomes(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    const std::uint8_t pick = in.Next();
    const std::string address = "198.18.2.3";
    std::unique_ptr<Procedure> procedure;
    Apply* apply = nullptr;
    Reboot* reboot = nullptr;
    Upgrade* upgrade = nullptr;
    constexpr auto kRestart = std::chrono::seconds(30);
    switch (pick % 3) {
    case 0: {
        SetRequest r;
        if (pick & 0x04)
            r.hostnameId = "lobby";
        if (pick & 0x08)
            r.channel = "0007";
        if (pick & 0x10) {
            r.ipMode = IpMode::Static;
            r.ipaddr = pick & 0x20 ? "198.18.2.9" : address;
            r.netmask = "255.255.0.0";
            r.gateway = "198.18.0.1";
        } else if (pick & 0x20) {
            r.ipMode = IpMode::Dhcp;
        }
        r.reboot = pick & 0x40;
        auto p = std::make_unique<Apply>(Apply::Plan{address, r, kRestart});
        apply = p.get();
        procedure = std::move(p);
        break;
    }
    case 1: {
        auto p = std::make_unique<Reboot>(Reboot::Plan{address, bool(pick & 0x04), pick & 0x08 ? kOurs : "", kRestart});
        reboot = p.get();
        procedure = std::move(p);
        break;
    }
    default: {
        auto p = std::make_unique<Upgrade>(
            Upgrade::Plan{address, "/srv/tftp", bool(pick & 0x04), std::chrono::seconds(600), kRestart});
        upgrade = p.get();
        procedure = std::move(p);
        break;
    }
    }
    const cv::nodes::Transcript dumps[] = {Dump(kOurs, "IS_HOST=n"), Dump(kOurs, "IS_HOST=y"),
                                           Dump(kTheirs, "IS_HOST=n"), Dump("", "")};

    auto now = Clock::time_point{} + std::chrono::hours(1);
    bool open = false, stopped = false, changed = false, servedProven = false;
    int ran = 0;
    // The MAC read before the first change, and the last one read after it.
    std::string before = reboot && (pick & 0x08) ? kOurs : "", after;
    for (int actions = 0;; ++actions) {
        // A procedure that never ends would hang its front end.
        Check(actions < 20000);
        if ((in.Next() & 0xF0) == 0xF0 && !stopped) {
            stopped = true;
            procedure->Stop();
        }
        Action a = procedure->Next(now);
        if (a.what == Do::Finished)
            break;
        now += std::max<Clock::duration>(a.within, std::chrono::milliseconds(100));
        if (a.what == Do::Pause) {
            now = std::max(now, a.until);
            continue;
        }
        if (a.what == Do::Close) {
            open = false;
            continue;
        }
        if (a.what == Do::Run || a.what == Do::ServerAddresses)
            Check(open);
        if (Changes(a)) {
            Check(changed || !stopped);
            for (const auto& s : a.steps)
                if (s.name == "update")
                    Check(!stopped && servedProven);
            changed = true;
        }
        const std::uint8_t b = in.Next();
        Outcome o;
        if (!(b & 0x01))
            o.result = Failure("connect", "refused");
        o.yes = b & 0x02;
        o.cancelled = (b & 0x0C) == 0x0C;
        o.reached = b >> 6;
        o.transcript = &dumps[(b >> 2) & 0x03];
        switch (a.what) {
        case Do::Open: open = o.result.has_value(); break;
        case Do::Run:
            // The first is the detail query, which an Apply and an Upgrade open with.
            if (!ran++ && o.result && !reboot)
                before = Narrow(DetailsFrom(*o.transcript).values.macAddress);
            break;
        case Do::Read:
            o.details.values.macAddress = Widen((b & 0x10) ? kTheirs : kOurs);
            o.details.values.version = Widen(b & 0x20 ? "A7.3.0" : "A7.2.1");
            o.details.values.channel = Widen(b & 0x40 ? "0007" : "");
            if (o.result)
                (changed ? after : before) = Narrow(o.details.values.macAddress);
            break;
        case Do::Scan:
            if (b & 0x04)
                o.addresses.push_back("198.18.2.4");
            if (b & 0x08)
                o.addresses.push_back("198.18.2.77");
            break;
        case Do::ServerAddresses:
            if (b & 0x02)
                o.addresses = {"198.18.0.1"};
            break;
        case Do::FetchServed:
            o.served.probe.status =
                b & 0x01 ? cv::lan::TftpProbeStatus::Served : static_cast<cv::lan::TftpProbeStatus>((b >> 1) % 4);
            if (b & 0x02)
                o.served.digest.emplace().size = 1234;
            if (b & 0x04)
                o.local.emplace().size = b & 0x08 ? 1234 : 99;
            servedProven = o.served.probe.ok() && o.served.digest && o.local && *o.served.digest == *o.local;
            break;
        default: break;
        }
        procedure->Feed(o);
    }

    // A run that did not start changed nothing.
    if ((apply && apply->result().notStarted) || (reboot && reboot->result().notStarted))
        Check(!changed);
    // A restart is confirmed by the endpoint read before it, never by
    // whatever else answers where it was expected.
    const bool restarted = (apply && (pick & 0x40) && apply->result().ok()) ||
        (upgrade && !upgrade->result().error && !upgrade->result().versionAfter.empty()) ||
        (reboot && !reboot->result().error && !reboot->result().notStarted);
    if (restarted && changed && !before.empty() && !after.empty())
        Check(after == before);
    return 0;
}
