// The procedures driven by a script instead of a network: every outcome is
// chosen by the test, and every action the procedure asked for is kept.
#include "endpoint/Procedures.h"

#include <gtest/gtest.h>

#include <functional>

using namespace cv::endpoint;
using namespace std::chrono_literals;
using Do = Action::Do;

namespace {

const std::string kMac = "02:C7:1A:00:00:2B";
const std::string kOtherMac = "02:C7:1A:00:00:99";

// The detail query's answer from a receiver (or a transmitter).
cv::nodes::Transcript Dump(const std::string& mac = kMac, bool transmitter = false, const char* version = "A7.2.1")
{
    cv::nodes::Transcript t;
    t.append(u"root\r\n/ # lmparam g CH_SELECT_V\r\n0003\r\n/ # cat /etc/version\r\ninitrd2m: " + Widen(version) +
             u"\r\n/ # lmparam dump\r\nHOSTNAME_ID=Lobby-2\r\nMY_MAC=" + Widen(mac) +
             u"\r\nMY_NETMASK=255.255.0.0\r\nMY_GATEWAYIP=198.18.0.1\r\nIP_MODE=static\r\nMULTICAST_ON=y\r\nIS_HOST=" +
             (transmitter ? u"y" : u"n") + u"\r\n/ # ");
    return t;
}

Details Read(const std::string& mac, const std::string& channel = "0003", const std::string& version = "A7.2.1")
{
    Details d;
    d.values.macAddress = Widen(mac);
    d.values.channel = Widen(channel);
    d.values.version = Widen(version);
    d.values.netmask = u"255.255.0.0";
    d.values.gateway = u"198.18.0.1";
    d.values.ipMode = u"static";
    return d;
}

// A driver whose world is whatever `answer` says. Each action takes 10 ms,
// a pause and a wait take their time.
struct Script {
    Clock::time_point now = Clock::time_point{} + 1h;
    cv::nodes::Transcript transcript = Dump();
    std::vector<Action> done;
    std::vector<Message> said;
    bool stop = false;
    std::function<Outcome(const Action&)> answer = [](const Action&) { return Outcome{}; };

    void Drive(Procedure& p)
    {
        for (int guard = 0; guard < 100000; ++guard) {
            if (stop)
                p.Stop();
            Action a = p.Next(now);
            said.insert(said.end(), a.told.begin(), a.told.end());
            if (a.what == Do::Finished)
                return;
            now = a.what == Do::Pause ? a.until : now + std::max<Clock::duration>(a.within, 10ms);
            Outcome o = answer(a);
            o.transcript = &transcript;
            const bool fed = a.what != Do::Pause && a.what != Do::Close;
            done.push_back(std::move(a));
            if (fed)
                p.Feed(o);
        }
        ADD_FAILURE() << "the procedure never finished";
    }
    std::size_t Count(Do what) const
    {
        return std::count_if(done.begin(), done.end(), [&](const Action& a) { return a.what == what; });
    }
    // The steps of every Run, by the name of their first line step.
    bool RanStep(const std::string& name) const
    {
        for (const auto& a : done)
            for (const auto& s : a.steps)
                if (s.name == name)
                    return true;
        return false;
    }
    bool Said(const std::string& piece) const
    {
        return std::any_of(said.begin(), said.end(),
                           [&](const Message& m) { return m.text.find(piece) != std::string::npos; });
    }
};

Outcome Yes()
{
    Outcome o;
    o.yes = true;
    return o;
}

Outcome Answered(const Details& d)
{
    Outcome o;
    o.details = d;
    return o;
}

Outcome Refused(const std::string& step)
{
    Outcome o;
    o.result = Failure(step, "refused");
    return o;
}

// A restart that goes down at once and answers again as `mac`.
Outcome ComesBackAs(const Action& a, const std::string& mac)
{
    switch (a.what) {
    case Do::WaitClosed:
    case Do::Probe: return Yes();
    case Do::Read: return Answered(Read(mac));
    default: return {};
    }
}

SetRequest StaticMove(const std::string& to)
{
    SetRequest r;
    r.ipMode = IpMode::Static;
    r.ipaddr = to;
    r.netmask = "255.255.0.0";
    r.gateway = "198.18.0.1";
    r.reboot = true;
    return r;
}

}  // namespace

TEST(ApplyProcedure, AStopAskedBeforeTheSettingsGoOutSendsNothing)
{
    SetRequest r;
    r.channel = "0007";
    Apply apply({"198.18.2.3", r});
    Script s;
    s.answer = [&](const Action& a) {
        s.stop = s.stop || a.what == Do::Lock;  // Ctrl-C while it waited for the lock
        return Outcome{};
    };
    s.Drive(apply);
    EXPECT_TRUE(apply.result().notStarted);
    EXPECT_FALSE(s.RanStep("send"));
    EXPECT_EQ(apply.result().fields.at(0).status, FieldStatus::NotSent);
}

TEST(ApplyProcedure, AStaticMoveIsConfirmedOnlyByTheMacReadBeforeIt)
{
    Apply moved({"198.18.2.3", StaticMove("198.18.2.9")});
    Script same;
    same.answer = [](const Action& a) { return ComesBackAs(a, kMac); };
    same.Drive(moved);
    ASSERT_FALSE(moved.result().error) << moved.result().error->text();
    EXPECT_EQ(moved.result().newAddress, "198.18.2.9");
    for (const auto& f : moved.result().fields)
        EXPECT_EQ(f.status, FieldStatus::Confirmed) << f.field;
    // It was waited for where it should answer, and only there: a static
    // move is no reason to read the rest of the fleet.
    EXPECT_EQ(same.Count(Do::Scan), 0u);
    for (const auto& a : same.done) {
        if (a.what == Do::Probe || a.what == Do::Read) {
            EXPECT_EQ(a.address, "198.18.2.9");
        }
    }

    // Another box already had that address: it answers at once, and is not ours.
    Apply taken({"198.18.2.3", StaticMove("198.18.2.2")});
    Script other;
    other.answer = [](const Action& a) { return ComesBackAs(a, kOtherMac); };
    other.Drive(taken);
    ASSERT_TRUE(taken.result().error);
    EXPECT_EQ(taken.result().error->step, "come back");
    EXPECT_EQ(taken.result().error->detail, "another endpoint (MAC " + kOtherMac + ") answers at 198.18.2.2");
    EXPECT_FALSE(taken.result().ok());
    EXPECT_TRUE(other.Said("another endpoint"));
}

TEST(ApplyProcedure, AChannelIsReadBackOnASessionOfItsOwnOnceItHasSettled)
{
    SetRequest r;
    r.channel = "0007";
    Apply apply({"198.18.2.3", r});
    Script s;
    Clock::time_point pausedFrom{}, readAt{};
    s.answer = [&](const Action& a) {
        if (a.what == Do::Pause)
            pausedFrom = s.now;
        if (a.what == Do::Read) {
            readAt = s.now;
            return Answered(Read(kMac, "0007"));
        }
        return Outcome{};
    };
    s.Drive(apply);
    ASSERT_FALSE(apply.result().error);
    EXPECT_EQ(apply.result().fields.at(0).status, FieldStatus::Confirmed);
    ASSERT_EQ(s.Count(Do::Pause), 1u);
    EXPECT_GE(readAt, pausedFrom);

    // A reply that holds no channel says nothing of a mismatch.
    Apply unreadable({"198.18.2.3", r});
    Script noise;
    noise.answer = [](const Action& a) { return a.what == Do::Read ? Answered(Read(kMac, "")) : Outcome{}; };
    noise.Drive(unreadable);
    EXPECT_EQ(unreadable.result().fields.at(0).status, FieldStatus::Unreadable);
    EXPECT_TRUE(noise.Said("unreadable: the reply holds no channel"));
}

TEST(ApplyProcedure, LinesThatLeftBeforeASendFailedCountAsSentAndNothingIsReadBack)
{
    SetRequest r;
    r.hostnameId = "lobby";
    r.channel = "0007";
    Apply apply({"198.18.2.3", r});
    Script s;
    s.answer = [](const Action& a) {
        if (a.what == Do::Run && a.steps.size() > 1 && a.steps.front().name == "send") {
            Outcome o = Refused("send");
            o.reached = 2;
            return o;
        }
        return Outcome{};
    };
    s.Drive(apply);
    ASSERT_TRUE(apply.result().error);
    EXPECT_EQ(apply.result().error->step, "send");
    for (const auto& f : apply.result().fields)
        EXPECT_EQ(f.status, FieldStatus::Sent) << f.field;
    EXPECT_EQ(s.Count(Do::Read), 0u);
}

TEST(ApplyProcedure, ATransmitterAskedForAHostnameIdGetsNoLineAndNoLock)
{
    SetRequest r;
    r.hostnameId = "lobby";
    Apply apply({"198.18.1.1", r});
    Script s;
    s.transcript = Dump(kMac, true);
    s.Drive(apply);
    ASSERT_TRUE(apply.result().error);
    EXPECT_EQ(apply.result().error->step, "hostname_id");
    EXPECT_EQ(apply.result().kind, Kind::Tx);
    EXPECT_EQ(s.Count(Do::Lock), 0u);
    EXPECT_EQ(s.Count(Do::Run), 1u);  // the detail query only
}

TEST(RestartProcedure, AnEndpointThatKeepsTakingLoginsHasNotRestarted)
{
    Restart restart({"198.18.2.3", "198.18.2.3", kMac, false, 5s}, Clock::time_point{} + 1h);
    Script s;
    s.answer = [](const Action& a) { return a.what == Do::TryLogin ? Yes() : Outcome{}; };
    s.Drive(restart);
    ASSERT_TRUE(restart.error);
    EXPECT_EQ(restart.error->step, "reboot");
    EXPECT_NE(restart.error->detail.find("kept answering"), std::string::npos);
    // It never looked for a came-back endpoint while the old one still ran.
    EXPECT_EQ(s.Count(Do::Probe), 0u);
    EXPECT_EQ(s.Count(Do::Read), 0u);
}

TEST(RestartProcedure, AnEndpointThatDiedWithItsSessionOpenIsSeenDownByItsLogins)
{
    Restart restart({"198.18.2.3", "198.18.2.3", kMac, false, 30s}, Clock::time_point{} + 1h);
    Script s;
    int probes = 0;
    s.answer = [&](const Action& a) {
        if (a.what == Do::Probe)
            return ++probes < 3 ? Outcome{} : Yes();
        return a.what == Do::Read ? Answered(Read(kMac)) : Outcome{};
    };
    s.Drive(restart);
    ASSERT_FALSE(restart.error) << restart.error->text();
    EXPECT_EQ(restart.address, "198.18.2.3");
    EXPECT_GT(restart.downFor, 0ms);
    EXPECT_EQ(s.Count(Do::Close), 1u);
    EXPECT_TRUE(s.Said("down, waiting for it to answer again"));
}

TEST(RestartProcedure, AResetThatTookANewLeaseIsFoundByItsMacAndANeighbourIsNot)
{
    Restart restart({"198.18.2.3", "198.18.2.3", kMac, true, 30s}, Clock::time_point{} + 1h);
    Script s;
    s.answer = [](const Action& a) {
        switch (a.what) {
        case Do::WaitClosed: return Yes();
        case Do::Scan: {
            Outcome o;
            o.addresses = {"198.18.2.4", "198.18.2.77"};
            return o;
        }
        case Do::Read: return Answered(Read(a.address == "198.18.2.77" ? kMac : kOtherMac));
        default: return Outcome{};
        }
    };
    s.Drive(restart);
    ASSERT_FALSE(restart.error) << restart.error->text();
    EXPECT_EQ(restart.address, "198.18.2.77");
}

namespace {
Upgrade::Plan UpgradePlan(bool sameVersionOk = false) { return {"198.18.2.3", "/srv/tftp", sameVersionOk, 600s, 30s}; }

Outcome Served(std::uint64_t theirSize, std::uint64_t ourSize)
{
    Outcome o;
    o.served.probe.status = cv::lan::TftpProbeStatus::Served;
    o.served.digest.emplace();
    o.served.digest->size = theirSize;
    o.local.emplace();
    o.local->size = ourSize;
    return o;
}

// A workstation with one address, a readable file served as it is, and an
// endpoint that restarts into `version`.
Outcome UpgradeWorld(const Action& a, const char* version)
{
    switch (a.what) {
    case Do::ServerAddresses: {
        Outcome o;
        o.addresses = {"198.18.0.1"};
        return o;
    }
    case Do::ReadableFile: return Yes();
    case Do::FetchServed: return Served(1234, 1234);
    case Do::WaitClosed:
    case Do::Probe: return Yes();
    case Do::Read: return Answered(Read(kMac, "0003", version));
    default: return {};
    }
}
}  // namespace

TEST(UpgradeProcedure, AServerThatGivesOutAnotherFileStopsItBeforeAnyLine)
{
    Upgrade upgrade(UpgradePlan());
    Script s;
    s.answer = [](const Action& a) { return a.what == Do::FetchServed ? Served(300000, 1234) : UpgradeWorld(a, ""); };
    s.Drive(upgrade);
    ASSERT_TRUE(upgrade.result().error);
    EXPECT_EQ(upgrade.result().error->step, "tftp check");
    EXPECT_NE(upgrade.result().error->detail.find("of 300000 bytes, not the /srv/tftp/"), std::string::npos);
    EXPECT_NE(upgrade.result().error->detail.find("of 1234 bytes"), std::string::npos);
    EXPECT_EQ(s.Count(Do::Run), 1u);  // the detail query only
}

TEST(UpgradeProcedure, AStopAfterTheFetchLeavesTheUpdateScriptUnsent)
{
    Upgrade upgrade(UpgradePlan());
    Script s;
    s.answer = [&](const Action& a) {
        for (const auto& step : a.steps)
            s.stop = s.stop || step.name == "fetch";
        return UpgradeWorld(a, "A7.3.0");
    };
    s.Drive(upgrade);
    EXPECT_TRUE(upgrade.result().notStarted);
    EXPECT_TRUE(s.RanStep("fetch"));
    EXPECT_FALSE(s.RanStep("update"));
    ASSERT_TRUE(upgrade.result().error);
    EXPECT_NE(upgrade.result().error->detail.find("nothing was installed"), std::string::npos);
}

TEST(UpgradeProcedure, TheVersionOfTheSameEndpointIsReadAfterItAndAnEqualOneIsUnchanged)
{
    Upgrade upgraded(UpgradePlan());
    Script s;
    s.answer = [](const Action& a) { return UpgradeWorld(a, "A7.3.0"); };
    s.Drive(upgraded);
    ASSERT_FALSE(upgraded.result().error) << upgraded.result().error->text();
    EXPECT_EQ(upgraded.result().versionBefore, "A7.2.1");
    EXPECT_EQ(upgraded.result().versionAfter, "A7.3.0");
    EXPECT_EQ(upgraded.result().server, "198.18.0.1");
    EXPECT_TRUE(s.RanStep("update"));

    Upgrade same(UpgradePlan());
    Script again;
    again.answer = [](const Action& a) { return UpgradeWorld(a, "A7.2.1"); };
    again.Drive(same);
    EXPECT_TRUE(same.result().unchanged);
    ASSERT_TRUE(same.result().error);
    EXPECT_EQ(same.result().error->step, "version");

    Upgrade meant(UpgradePlan(true));
    Script ok;
    ok.answer = [](const Action& a) { return UpgradeWorld(a, "A7.2.1"); };
    ok.Drive(meant);
    EXPECT_FALSE(meant.result().error);
}
