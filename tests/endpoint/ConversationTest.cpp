// The endpoint core without sockets: a recorded conversation replayed with
// every reply cut at every byte position and in 1-byte pieces, the quiet
// prompt, silence and a hang-up, each fed by the test as a driver would.
#include "endpoint/Conversation.h"
#include "endpoint/Steps.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace cv::endpoint;
using namespace std::chrono_literals;

namespace {

// What an endpoint answered to each line, recorded from its shell: echo,
// output and prompt.
const std::string kBanner = "\r\nast login: ";
const std::map<std::string, std::string> kRecorded = {
    {"root\r\n", "root\r\n/ # "},
    {"lmparam g CH_SELECT_V\r\n", "lmparam g CH_SELECT_V\r\n0003\r\n/ # "},
    {"cat /etc/version\r\n", "cat /etc/version\r\nast2500 initrd2m: A7.3.1\r\n/ # "},
    {"lmparam dump\r\n",
     "lmparam dump\r\nHOSTNAME=ast-clientlobby-1\r\nHOSTNAME_ID=lobby-1\r\nMY_MAC=02:00:C6:12:02:01\r\n"
     "MY_IP=198.18.2.1\r\nMY_NETMASK=255.255.0.0\r\nMY_GATEWAYIP=198.18.0.1\r\nIP_MODE=dhcp\r\n"
     "MULTICAST_ON=n\r\nCH_SELECT_V=0003\r\nSTATE=s_srv_on\r\nIS_HOST=n\r\n/ # "},
    {"e e_vw_stretch_type_2\r\n", "e e_vw_stretch_type_2\r\n/ # "},
    {"big_osd_on.sh \"0\"\r\n", "big_osd_on.sh \"0\"\r\n/ # "},
};

// Plays the endpoint's side: takes what the conversation sends, line by
// line, and hands back the recorded reply cut by `cut`.
struct Replay {
    // Cuts one reply into the pieces it arrives in.
    std::function<std::vector<std::string>(const std::string&)> cut;
    std::vector<std::string> linesSent;
    std::string wire;
    // Each reply's pieces, kept to check nothing went out early.
    bool sentEarly = false;

    Result<> Run(std::vector<Step> steps, Conversation& c)
    {
        auto now = Clock::time_point{} + 1h;
        Sequence sequence(std::move(steps));
        std::string pendingLine;
        for (const std::string& piece : cut(kBanner))
            c.Receive(piece, now);
        while (sequence.Advance(c, now) == Sequence::State::Running) {
            const std::string out = c.TakeOutgoing();
            wire += out;
            for (char ch : out) {
                if (ch == '\0')
                    continue;
                pendingLine += ch;
                if (ch != '\n')
                    continue;
                linesSent.push_back(pendingLine);
                const auto reply = kRecorded.find(pendingLine);
                pendingLine.clear();
                if (reply == kRecorded.end())
                    return Failure("replay", "not recorded: " + linesSent.back());
                const auto pieces = cut(reply->second);
                for (std::size_t i = 0; i < pieces.size(); ++i) {
                    c.Receive(pieces[i], now);
                    // Nothing may go out before the prompt is whole.
                    if (i + 1 < pieces.size() && c.hasOutgoing())
                        sentEarly = true;
                    now += 1ms;
                }
            }
            if (out.empty()) {
                // Nothing to answer: the driver waits for the timer.
                const auto timer = c.Timer();
                if (!timer)
                    return Failure("replay", "stuck");
                now = *timer;
                c.OnTimer(now);
            }
        }
        return sequence.result();
    }
};

std::vector<Step> Concat(std::vector<Step> a, const std::vector<Step>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const cv::nodes::WireLine kStretch{u"e e_vw_stretch_type_2\r\n", false, true, 0};
const cv::nodes::WireLine kOsd{u"big_osd_on.sh \"0\"\r\n", false, true, 0};

struct Outcome {
    std::string wire;
    Details details;
    std::string transcript;
};

Outcome Whole(const std::function<std::vector<std::string>(const std::string&)>& cut, bool* early = nullptr)
{
    Conversation c;
    Replay replay;
    replay.cut = cut;
    auto steps = Concat(LoginSteps(), DetailQuerySteps());
    const auto queried = replay.Run(steps, c);
    EXPECT_TRUE(queried) << queried.error().text();
    Outcome o{replay.wire, DetailsFrom(c.transcript()), c.received()};
    const auto wall = replay.Run(
        LineSteps({{kStretch, cv::nodes::kShortLineBuffer}, {kOsd, cv::nodes::kShortLineBuffer}}, "wall"), c);
    EXPECT_TRUE(wall) << wall.error().text();
    o.wire = replay.wire;
    if (early)
        *early = replay.sentEarly;
    return o;
}

}  // namespace

TEST(Conversation, ARecordedConversationReadsTheSameHoweverEachReplyIsCut)
{
    const Outcome whole = Whole([](const std::string& r) { return std::vector<std::string>{r}; });
    EXPECT_EQ(whole.wire,
              "root\r\nlmparam g CH_SELECT_V\r\ncat /etc/version\r\nlmparam dump\r\n"
              "e e_vw_stretch_type_2\r\nbig_osd_on.sh \"0\"\r\n");
    EXPECT_EQ(cv::endpoint::Narrow(whole.details.values.channel), "0003");
    EXPECT_EQ(cv::endpoint::Narrow(whole.details.values.version), "A7.3.1");
    EXPECT_EQ(cv::endpoint::Narrow(whole.details.values.macAddress), "02:00:C6:12:02:01");
    EXPECT_EQ(whole.details.kind, Kind::Rx);

    // Every reply cut in two at the same byte position, for every position
    // any reply has.
    std::size_t longest = 0;
    for (const auto& [line, reply] : kRecorded)
        longest = std::max(longest, reply.size());
    for (std::size_t at = 1; at < longest; ++at) {
        bool early = false;
        const Outcome cut = Whole(
            [at](const std::string& r) {
                if (at >= r.size())
                    return std::vector<std::string>{r};
                return std::vector<std::string>{r.substr(0, at), r.substr(at)};
            },
            &early);
        EXPECT_EQ(cut.wire, whole.wire) << "cut at " << at;
        EXPECT_EQ(cut.transcript, whole.transcript) << "cut at " << at;
        EXPECT_EQ(cut.details.values.hostnameId, whole.details.values.hostnameId) << "cut at " << at;
        EXPECT_EQ(cut.details.kind, Kind::Rx) << "cut at " << at;
        EXPECT_FALSE(early) << "a line went out before the prompt was whole, cut at " << at;
    }

    bool early = false;
    const Outcome bytes = Whole(
        [](const std::string& r) {
            std::vector<std::string> pieces;
            for (char ch : r)
                pieces.emplace_back(1, ch);
            return pieces;
        },
        &early);
    EXPECT_EQ(bytes.wire, whole.wire);
    EXPECT_EQ(bytes.transcript, whole.transcript);
    EXPECT_EQ(cv::endpoint::Narrow(bytes.details.values.channel), "0003");
    EXPECT_FALSE(early) << "1-byte pieces";
}

TEST(Conversation, EachLineReportsItsEchoThenItsPromptThenItsEnd)
{
    Conversation c;
    const auto t = Clock::time_point{} + 1h;
    ASSERT_TRUE(c.Run(kStretch, cv::nodes::kShortLineBuffer, t));
    EXPECT_EQ(c.TakeOutgoing(), "e e_vw_stretch_type_2\r\n");
    for (const char* piece : {"e e_vw_stre", "tch_type_2\r\n", "/", " #", " "})
        c.Receive(piece, t);
    std::vector<EventKind> kinds;
    while (auto e = c.NextEvent())
        kinds.push_back(e->kind);
    EXPECT_EQ(kinds, (std::vector<EventKind>{EventKind::EchoSeen, EventKind::PromptSeen, EventKind::ReplyComplete}));
    EXPECT_FALSE(c.busy());
    EXPECT_TRUE(c.ok());
}

TEST(Conversation, APromptAfterAnUnfinishedLineOrOfAnOddShapeCountsOnceTheStreamIsQuiet)
{
    const auto t = Clock::time_point{} + 1h;
    Conversation c;
    ASSERT_TRUE(c.Run({u"lmparam dump\r\n", false, false, 0}, cv::nodes::kLineBuffer, t));
    c.Receive("lmparam dump\r\nnoise without an end/ # ", t);
    EXPECT_TRUE(c.busy()) << "a '/' inside a line may be text";
    ASSERT_TRUE(c.Timer());
    EXPECT_EQ(*c.Timer(), t + Conversation::kPromptQuiet);
    c.OnTimer(t + Conversation::kPromptQuiet - 1ms);
    EXPECT_TRUE(c.busy());
    c.OnTimer(t + Conversation::kPromptQuiet);
    EXPECT_FALSE(c.busy());
    EXPECT_EQ(c.lastOutput(), "noise without an end");

    // A prompt that starts a line but ends in no "# ": the quiet ends it too.
    ASSERT_TRUE(c.Run({u"cat /etc/version\r\n", false, false, 0}, cv::nodes::kLineBuffer, t));
    c.Receive("cat /etc/version\r\nv1\r\n/dev/shm %", t);
    EXPECT_TRUE(c.busy());
    c.OnTimer(t + Conversation::kPromptQuiet);
    EXPECT_FALSE(c.busy());
    EXPECT_EQ(c.lastOutput(), "v1\r\n");

    // An output line that starts with "/" and ends is not the prompt.
    ASSERT_TRUE(c.Run({u"lmparam dump\r\n", false, false, 0}, cv::nodes::kLineBuffer, t));
    c.Receive("lmparam dump\r\n/usr/local/bin: ok\r\n/ # ", t);
    EXPECT_FALSE(c.busy());
    EXPECT_EQ(c.lastOutput(), "/usr/local/bin: ok\r\n");
}

TEST(Conversation, SilenceAHangUpAndALineTooLongFailWithTheirReason)
{
    const auto t = Clock::time_point{} + 1h;
    Conversation c(300ms);
    c.Login(t);
    EXPECT_EQ(c.TakeOutgoing(), "root\r\n");
    c.Receive("\r\nast login: ro", t);
    c.OnTimer(t + 200ms);
    EXPECT_TRUE(c.busy()) << "the idle time runs from the last byte";
    c.OnTimer(t + 300ms);
    EXPECT_FALSE(c.ok());
    EXPECT_EQ(c.error(), "no echo of 'login' within 0.3 s");

    c.Run({u"lmparam dump\r\n", false, false, 0}, cv::nodes::kLineBuffer, t);
    c.Receive("ot\r\n/ # lmparam dump\r\nA=1\r\n", t);
    c.OnTimer(t + 300ms);
    EXPECT_EQ(c.error(), "no prompt after 'lmparam dump' within 0.3 s");

    c.Run({u"lmparam dump\r\n", false, false, 0}, cv::nodes::kLineBuffer, t);
    c.PeerClosed();
    EXPECT_FALSE(c.ok());
    EXPECT_EQ(c.error(), "connection closed by the endpoint (waiting for 'lmparam dump')");
    bool closed = false;
    while (auto e = c.NextEvent())
        closed = closed || e->kind == EventKind::Closed;
    EXPECT_TRUE(closed);
    c.Run({u"lmparam dump\r\n", false, false, 0}, cv::nodes::kLineBuffer, t);
    EXPECT_FALSE(c.ok()) << "nothing is awaited on a closed connection";
    EXPECT_FALSE(c.busy());

    Conversation d;
    const auto tooLong = d.Run({std::u16string(60, u'x'), false, true, 0}, cv::nodes::kLineBuffer, t);
    EXPECT_FALSE(tooLong);
    EXPECT_FALSE(d.hasOutgoing()) << "nothing is sent";
    d.Receive(std::string("ro\0ot", 5), t);
    EXPECT_EQ(d.received(), "root") << "zero bytes are dropped";
}

TEST(Steps, AFailedFetchStopsTheUpgradeBeforeTheUpdateScript)
{
    const auto t = Clock::time_point{} + 1h;
    Conversation c;
    Sequence s(UpgradeSteps("198.18.0.1", false, "webfwc.bin", 10s));
    s.Advance(c, t);
    EXPECT_EQ(c.TakeOutgoing(), "cd /dev/shm\r\n");
    c.Receive("cd /dev/shm\r\n/dev/shm # ", t);
    s.Advance(c, t);
    EXPECT_EQ(c.TakeOutgoing(), "tftp -v 198.18.0.1 -c get webfwc.bin\r\n");
    c.Receive("tftp -v 198.18.0.1 -c get webfwc.bin\r\nError code 1: File not found\r\n/dev/shm # ", t);
    EXPECT_EQ(s.Advance(c, t), Sequence::State::Failed);
    EXPECT_EQ(s.result().error().text(), "fetch: the endpoint's tftp reports File not found for webfwc.bin");
    EXPECT_FALSE(c.hasOutgoing());
}

TEST(Types, EachEnumHasOneTextAndIpModesReadBack)
{
    EXPECT_STREQ(ToString(Kind::Tx), "tx");
    EXPECT_STREQ(ToString(Kind::Rx), "rx");
    EXPECT_STREQ(ToString(FieldStatus::NotSent), "not sent");
    EXPECT_STREQ(ToString(FieldStatus::Mismatch), "mismatch");
    for (IpMode m : {IpMode::AutoIp, IpMode::Dhcp, IpMode::Static})
        EXPECT_EQ(ParseIpMode(ToString(m)), m);
    EXPECT_FALSE(ParseIpMode("Static"));
}

TEST(Steps, TheResetIsAwaitedBeforeTheRebootWhichAwaitsNothing)
{
    using namespace std::string_literals;
    const auto t = Clock::time_point{} + 1h;
    Conversation c;
    Sequence s(RestartSteps(true));
    EXPECT_EQ(s.Advance(c, t), Sequence::State::Running);
    EXPECT_EQ(c.TakeOutgoing(), "reset_to_default.sh\r\n\0"s) << "the window's bytes, zero included";
    c.Receive("reset_to_default.sh\r\n/ #", t);
    EXPECT_EQ(s.Advance(c, t), Sequence::State::Running);
    EXPECT_FALSE(c.hasOutgoing()) << "not before the prompt is whole";
    c.Receive(" ", t);
    EXPECT_EQ(s.Advance(c, t), Sequence::State::Done);
    EXPECT_EQ(c.TakeOutgoing(), "reboot\r\n\0"s);
    EXPECT_FALSE(c.busy()) << "a reboot gets no answer";

    // A node list whose prompt never came is still whole; what follows it
    // does not inherit that failure.
    Conversation d(100ms);  // shorter than the quiet time: the line times out
    Sequence list([] {
        auto steps = NodeListSteps();
        auto reboot = RestartSteps(false);
        steps.insert(steps.end(), reboot.begin(), reboot.end());
        return steps;
    }());
    list.Advance(d, t);
    EXPECT_EQ(d.TakeOutgoing(), "node_query --dump\r\n");
    d.Receive("node_query --dump\r\nMY_IP=198.18.2.1\r\nMULTICAST_ON=y\r\nCH_SELECT_V=0001\r\nclientrx-1\r\n"
              "MY_MAC=02:00:00:00:00:01\r\n<<<<<<<<<<\r\n/",
              t);
    list.Advance(d, t);
    d.OnTimer(t + 100ms);
    EXPECT_FALSE(d.ok());
    EXPECT_EQ(list.Advance(d, t + 100ms), Sequence::State::Done) << (list.result() ? "" : list.result().error().text());
    EXPECT_EQ(d.TakeOutgoing(), "reboot\r\n\0"s);
}

TEST(Steps, AChannelIsReadFromItsOwnLineAndNoiseBeforeItNeverBecomesPartOfIt)
{
    EXPECT_EQ(ChannelInReply("0007\r\n"), "0007");
    EXPECT_EQ(ChannelInReply("  0042  \r\n"), "0042");
    EXPECT_EQ(ChannelInReply("\x1b[2J\x01\x02garbage\r\nline flood\r\n0007\r\n"), "0007");
    EXPECT_EQ(ChannelInReply(std::string(200000, 'x') + "\n0099"), "0099");
    // A value glued to noise, or none at all, is not a channel.
    EXPECT_EQ(ChannelInReply("\x01\x02"
                             "0007\r\n"),
              std::nullopt);
    EXPECT_EQ(ChannelInReply(""), std::nullopt);
    EXPECT_EQ(ChannelInReply("0100\r\n"), std::nullopt);
    EXPECT_EQ(ChannelInReply("0007\r\nsh: oops\r\n"), std::nullopt);
}
