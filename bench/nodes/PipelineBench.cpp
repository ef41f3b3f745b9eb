// The receive path of this layer over a whole node dump: every 1024-byte
// arrival is appended and the checks of the current mode run, as the window
// does. The naive variant searches the whole text and parses from scratch on
// every arrival, which is what makes large fleets slow.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nodes/DeviceDetails.h"
#include "nodes/Firmware.h"
#include "nodes/NodeList.h"
#include "nodes/Transcript.h"
#include "nodes/UpgradeCheck.h"

namespace {

using namespace cv::nodes;
using View = std::u16string_view;
constexpr std::size_t npos = View::npos;
constexpr std::size_t kPiece = 1024;

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// A dump as the shell prints it: echo, one block per node closed by its MAC
// line, the end marker and the prompt. Half transmitters, half receivers.
std::u16string MakeDump(int nodes)
{
    std::string s = "root\r\n/ # node_query --dump\r\n>>>>>>>>>>\r\n";
    char block[320];
    for (int i = 0; i < nodes; ++i) {
        const bool tx = i % 2 == 0;
        std::snprintf(block, sizeof block,
                      "MY_IP=169.254.%d.%d\r\n"
                      "HOSTNAME=ast-%s%06X\r\n"
                      "MY_NETMASK=255.255.0.0\r\n"
                      "MULTICAST_ON=%c\r\n"
                      "%s=%04d\r\n"
                      "IS_HOST=%c\r\n"
                      "STATE=s_srv_on\r\n"
                      "MY_MAC=02C7%08X\r\n",
                      (i / 250) % 256, i % 250 + 1, tx ? "gateway" : "client", i, i % 3 ? 'y' : 'n',
                      tx ? "CH_SELECT" : "CH_SELECT_V", i % 100, tx ? 'y' : 'n', i);
        s += block;
    }
    s += "<<<<<<<<<<\r\n/ # ";
    return Widen(s);
}

// --- Naive: whole-text searches and a from-scratch parse on every arrival ---

std::u16string NaiveValue(View record, View key)
{
    const std::size_t at = record.find(key);
    if (at == npos)
        return {};
    const View rest = record.substr(at + key.size());
    const std::size_t end = rest.find(kLineEnd.text());
    return end == npos ? std::u16string() : std::u16string(rest.substr(0, end));
}

std::size_t NaiveNodeList(const std::u16string& text)
{
    if (text.find(kDumpEndMarker.text()) == npos)
        return 0;
    const std::size_t start = text.find(kNodeQuery.text());
    View work = View(text).substr(start == npos ? 0 : start);
    std::size_t rows = 0;
    while (true) {
        const std::size_t sep = work.find(kRecordSeparator.text());
        if (sep == npos)
            break;
        const View record = work.substr(0, sep);
        work.remove_prefix(sep + kRecordSeparator.size());
        const bool tx = record.find(kTransmitterWord.text()) != npos;
        if (!tx && record.find(kReceiverWord.text()) == npos)
            break;
        benchmark::DoNotOptimize(NaiveValue(record, kAddressKey.text()));
        benchmark::DoNotOptimize(NaiveValue(record, kMulticastKey.text()));
        benchmark::DoNotOptimize(NaiveValue(record, tx ? kTxChannelKey.text() : kRxChannelKey.text()));
        if (!tx)
            benchmark::DoNotOptimize(NaiveValue(record, kReceiverWord.text()));
        ++rows;
    }
    return rows;
}

std::u16string NaiveKey(const std::u16string& text, View key)
{
    const std::size_t at = text.find(key);
    if (at == npos)
        return {};
    const std::size_t end = text.find(kLineEnd.text(), at + key.size());
    return end == npos ? std::u16string() : text.substr(at + key.size(), end - at - key.size());
}

bool NaiveDetails(const std::u16string& text)
{
    const std::size_t isHost = text.find(kIsHostKey.text());
    if (isHost == npos || text.find(kPromptStart.text(), isHost) == npos)
        return false;
    for (View key : {kHostnameIdKey.text(), kStateKey.text(), kMacKey.text(), kNetmaskKey.text(), kGatewayKey.text(),
                     kIpModeKey.text(), kMulticastKey.text()}) {
        benchmark::DoNotOptimize(NaiveKey(text, key));
    }
    const std::size_t echo = text.rfind(kChannelQuery.text());
    if (echo != npos) {
        const std::size_t slash = text.find(kPromptStart.text(), echo);
        if (slash != npos)
            benchmark::DoNotOptimize(text.substr(echo, slash - echo));
    }
    const std::size_t version = text.find(kVersionKey.text());
    if (version != npos)
        benchmark::DoNotOptimize(NaiveKey(text, kVersionKey.text()));
    return true;
}

bool NaiveUpgradeCheck(const std::u16string& text)
{
    return text.find(kFileNotFound.text()) != npos || text.find(kTransferTimedOut.text()) != npos;
}

// --- Benchmarks ---------------------------------------------------------------

enum Mode { kListing = 0, kDetail = 1 };

void BM_Pipeline(benchmark::State& state)
{
    const std::u16string dump = MakeDump(static_cast<int>(state.range(0)));
    const Mode mode = static_cast<Mode>(state.range(1));
    std::size_t rows = 0;
    for (auto _ : state) {
        Transcript t;
        NodeListParser nodes;
        DeviceDetailsParser details;
        for (std::size_t at = 0; at < dump.size(); at += kPiece) {
            t.append(View(dump).substr(at, kPiece));
            if (mode == kListing) {
                if (auto list = nodes.parse(t))
                    rows = list->transmitters.size() + list->receivers.size();
            } else {
                benchmark::DoNotOptimize(details.parse(t));
            }
            benchmark::DoNotOptimize(CheckUpgradeFailures(t));
        }
    }
    state.counters["rows"] = static_cast<double>(rows);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * dump.size()));
}

void BM_PipelineNaive(benchmark::State& state)
{
    const std::u16string dump = MakeDump(static_cast<int>(state.range(0)));
    const Mode mode = static_cast<Mode>(state.range(1));
    std::size_t rows = 0;
    for (auto _ : state) {
        std::u16string text;
        for (std::size_t at = 0; at < dump.size(); at += kPiece) {
            text.append(View(dump).substr(at, kPiece));
            if (mode == kListing) {
                rows = NaiveNodeList(text);
            } else {
                benchmark::DoNotOptimize(NaiveDetails(text));
            }
            benchmark::DoNotOptimize(NaiveUpgradeCheck(text));
        }
    }
    state.counters["rows"] = static_cast<double>(rows);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * dump.size()));
}

void Sizes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"nodes", "detail"});
    for (int mode : {kListing, kDetail})
        for (int n : {100, 1000, 10000})
            b->Args({n, mode});
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Pipeline)->Apply(Sizes);
BENCHMARK(BM_PipelineNaive)->Apply(Sizes);

// A misbehaving endpoint puts megabytes of text before each answer (the
// simulator's flood fault). What matters is the longest single arrival: the
// window can do nothing else meanwhile.
std::u16string Flood(std::size_t megabytes)
{
    std::u16string line = u"flood flood flood flood flood flood flood flood flood flood\r\n";
    std::u16string s;
    s.reserve(megabytes << 20);
    while (s.size() < (megabytes << 20))
        s += line;
    return s;
}

std::u16string FloodedDetailAnswer(std::size_t megabytes)
{
    const std::u16string flood = Flood(megabytes);
    return u"root\r\n/ # lmparam g CH_SELECT_V\r\n" + flood + u"0003\r\n/ # cat /etc/version\r\n" + flood +
        u"initrd2m: A7.3.1 20231005\r\n/ # lmparam dump\r\n" + flood +
        u"HOSTNAME_ID=rx-001\r\nSTATE=s_srv_on\r\nMY_MAC=02C700000001\r\n"
        u"MY_NETMASK=255.255.0.0\r\nMY_GATEWAYIP=0.0.0.0\r\nIP_MODE=autoip\r\n"
        u"MULTICAST_ON=y\r\nIS_HOST=n\r\n/ # ";
}

std::u16string FloodedDump(std::size_t megabytes, int nodes)
{
    const std::u16string dump = MakeDump(nodes);
    const std::size_t echoEnd = dump.find(u"--dump\r\n") + 8;
    return dump.substr(0, echoEnd) + Flood(megabytes) + dump.substr(echoEnd);
}

void BM_Flood(benchmark::State& state)
{
    const Mode mode = static_cast<Mode>(state.range(1));
    const std::size_t megabytes = static_cast<std::size_t>(state.range(0));
    const std::u16string text = mode == kListing ? FloodedDump(megabytes, 250) : FloodedDetailAnswer(megabytes);
    double worstMs = 0;
    bool parsed = false;
    for (auto _ : state) {
        Transcript t;
        NodeListParser nodes;
        DeviceDetailsParser details;
        for (std::size_t at = 0; at < text.size(); at += kPiece) {
            const auto start = std::chrono::steady_clock::now();
            t.append(View(text).substr(at, kPiece));
            if (mode == kListing) {
                parsed = nodes.parse(t) != nullptr;
            } else {
                parsed = details.parse(t) != nullptr;
            }
            benchmark::DoNotOptimize(CheckUpgradeFailures(t));
            worstMs = std::max(
                worstMs, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
    }
    if (!parsed)
        state.SkipWithError("the answer behind the flood was not read");
    state.counters["worst_arrival_ms"] = worstMs;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Flood)
    ->ArgNames({"MB", "detail"})
    ->Args({10, kListing})
    ->Args({10, kDetail})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
