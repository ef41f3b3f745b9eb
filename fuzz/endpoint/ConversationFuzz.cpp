// The shell conversation fed whatever an endpoint might send, cut where the
// input says, with the quiet timer firing where it says. It must not crash,
// must send only the operation's lines in order, and whatever it reads must
// be what arrived.
#include "endpoint/Steps.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace cv::endpoint;

namespace {
void Check(bool ok)
{
    if (!ok)
        std::abort();
}

// The other shape: a shell that answers every line properly but prints the
// input (less any '/', which would be a prompt) before each echo, as a
// console or a chatty daemon does. The values must come out whole.
int NoiseBeforeEveryEcho(const std::uint8_t* data, std::size_t size)
{
    std::string noise;
    for (std::size_t i = 0; i < size; ++i)
        if (data[i] != '/')
            noise += static_cast<char>(data[i]);
    Conversation c(std::chrono::milliseconds(500));
    std::vector<Step> steps = LoginSteps();
    for (auto& s : DetailQuerySteps())
        steps.push_back(s);
    Sequence sequence(std::move(steps));
    const auto now = Clock::time_point{} + std::chrono::hours(1);
    std::string pending;
    bool loggedIn = false;
    for (int turns = 0; sequence.Advance(c, now) == Sequence::State::Running && turns < 16; ++turns) {
        pending += c.TakeOutgoing();
        const std::size_t end = pending.find("\r\n");
        if (end == std::string::npos)
            break;
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 2);
        std::erase(line, '\0');
        std::string reply = line == "lmparam g CH_SELECT_V" ? "0007\r\n"
            : line == "cat /etc/version"                    ? "ast2500 initrd2m: A7.3.1\r\n"
            : line == "lmparam dump"                        ? "IS_HOST=n\r\nMY_MAC=02:00:C6:12:02:01\r\n"
                                                            : "";
        c.Receive((loggedIn ? noise : std::string()) + line + "\r\n" + reply + "/ # ", now);
        loggedIn = true;
    }
    // Noise that spells the query's echo itself (the transcript drops zero
    // bytes) is a shell lying about its input; no reading can tell.
    std::string spelled = noise;
    std::erase(spelled, '\0');
    if (sequence.state() == Sequence::State::Done && spelled.find("lmparam g CH_SELECT_V") == std::string::npos)
        Check(DetailsFrom(c.transcript()).values.channel == u"0007");
    return 0;
}
}  // namespace

// ProceduresFuzz.cpp
int ProcedureOutcomes(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A first byte 'N' picks the well-answering shell with noise, 'P' the
    // procedures fed chosen outcomes.
    if (size > 0 && data[0] == 'N')
        return NoiseBeforeEveryEcho(data + 1, size - 1);
    if (size > 0 && data[0] == 'P')
        return ProcedureOutcomes(data + 1, size - 1);
    // Every 8th byte (from the first) steers: its low bits say how many of
    // the next bytes arrive together, its top bit fires the timer.
    Conversation c(std::chrono::milliseconds(500));
    std::vector<Step> steps = LoginSteps();
    for (auto& s : DetailQuerySteps())
        steps.push_back(s);
    for (auto& s : UpgradeSteps("198.18.0.1", true, "webfwh.bin", std::chrono::milliseconds(500)))
        steps.push_back(s);
    const std::string expected = "root\r\nlmparam g CH_SELECT_V\r\ncat /etc/version\r\nlmparam dump\r\n"
                                 "cd /dev/shm\r\ntftp -v 198.18.0.1 -c get webfwh.bin\r\nrm -f mtdblk*\r\n"
                                 "rm -f *.sh\r\nmv webfwh.bin fw.tar.gz\r\n/usr/local/bin/update_fw.sh\r\n";
    Sequence sequence(std::move(steps));
    auto now = Clock::time_point{} + std::chrono::hours(1);
    std::string wire, arrived;
    std::size_t i = 0;
    while (sequence.Advance(c, now) == Sequence::State::Running) {
        wire += c.TakeOutgoing();
        Check(expected.compare(0, wire.size(), wire) == 0);
        if (i >= size) {
            const auto timer = c.Timer();
            Check(timer.has_value());
            now = *timer;
            c.OnTimer(now);
            continue;
        }
        const std::uint8_t steer = data[i++];
        const std::size_t take = std::min<std::size_t>(size - i, (steer & 0x1F) + 1);
        const std::string piece(reinterpret_cast<const char*>(data + i), take);
        i += take;
        c.Receive(piece, now);
        for (char ch : piece)
            if (ch != '\0')
                arrived += ch;
        // What it holds is the tail of what arrived (a step may clear it).
        const std::string& held = c.received();
        Check(held.size() <= arrived.size() && arrived.compare(arrived.size() - held.size(), held.size(), held) == 0);
        if (steer & 0x80) {
            now += std::chrono::milliseconds(steer & 0x40 ? 600 : 200);
            c.OnTimer(now);
        }
    }
    wire += c.TakeOutgoing();
    Check(expected.compare(0, wire.size(), wire) == 0);
    // The transcript holds the same text as the bytes it was read from.
    Check(c.transcript().size() == c.received().size());
    (void)DetailsFrom(c.transcript());
    return 0;
}
