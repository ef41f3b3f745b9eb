// The receive path as the window runs it on every arrival: decode, append,
// push the stored values into the controls, the three transcript readers,
// and filling the lists once the dump is complete.
#include "net/Session.h"
#include "platform/CodePage.h"
#include "platform/Controls.h"
#include "ui/CortaviaDlg.h"

#include <QApplication>
#include <QElapsedTimer>
#include <benchmark/benchmark.h>

#include <string>

namespace {

std::string Dump(int nodes)
{
    std::string d = "root\r\n/ # node_query --dump\r\n";
    for (int i = 0; i < nodes; ++i) {
        const bool tx = i % 2 == 0;
        const std::string ip = "198.18." + std::to_string(1 + i / 250) + "." + std::to_string(1 + i % 250);
        d += tx ? "HOSTNAME=ast-gateway0200C612" + std::to_string(1000 + i) + "\r\n"
                : "HOSTNAME=ast-clientrx-" + std::to_string(i) + "\r\n";
        d += "MY_IP=" + ip + "\r\nIS_HOST=" + (tx ? "y" : "n") + "\r\nMULTICAST_ON=y\r\n";
        d += std::string(tx ? "CH_SELECT=" : "CH_SELECT_V=") + "00" + std::to_string(10 + i % 90) + "\r\n";
        d += "MY_MAC=02:00:C6:12:" + std::to_string(10 + i % 90) + ":" + std::to_string(10 + i % 89) + "\r\n";
    }
    return d + "<<<<<<<<<<\r\n/ # ";
}

void ReceivePipeline(benchmark::State& state)
{
    const std::string dump = Dump(static_cast<int>(state.range(0)));
    CMyCortaviaDlg dlg;
    dlg.Create();
    double worstArrivalMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        dlg.m_transcript.clear();
        dlg.List(IDC_TX_LIST)->DeleteAllItems();
        dlg.List(IDC_RX_LIST)->DeleteAllItems();
        platform::SystemDecoder decoder;
        state.ResumeTiming();
        for (size_t at = 0; at < dump.size(); at += 1024) {
            QElapsedTimer arrival;
            arrival.start();
            const size_t n = std::min<size_t>(1024, dump.size() - at);
            AppendArrival(dlg, decoder.Decode(QByteArrayView(dump.data() + at, qsizetype(n))));
            worstArrivalMs = std::max(worstArrivalMs, arrival.nsecsElapsed() / 1e6);
        }
        if (dlg.List(IDC_RX_LIST)->GetItemCount() != state.range(0) / 2)
            state.SkipWithError("lists not filled");
    }
    state.counters["bytes"] = double(dump.size());
    state.counters["worst_arrival_ms"] = worstArrivalMs;
}
BENCHMARK(ReceivePipeline)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// A misbehaving endpoint puts megabytes of text before every answer (the
// simulator's flood fault): the detail answer of a selected row behind 10 MB
// per command, through the whole receive path. worst_arrival_ms is how long
// the window could not react to anything else.
std::string FloodedDetailAnswer(size_t megabytes)
{
    const std::string line = "flood flood flood flood flood flood flood flood flood flood\r\n";
    std::string flood;
    while (flood.size() < (megabytes << 20))
        flood += line;
    return "root\r\n/ # lmparam g CH_SELECT_V\r\n" + flood + "0003\r\n/ # cat /etc/version\r\n" + flood +
        "initrd2m: A7.3.1 20231005\r\n/ # lmparam dump\r\n" + flood +
        "HOSTNAME_ID=rx-001\r\nSTATE=s_srv_on\r\nMY_MAC=02C700000001\r\nMY_NETMASK=255.255.0.0\r\n"
        "MY_GATEWAYIP=0.0.0.0\r\nIP_MODE=autoip\r\nMULTICAST_ON=y\r\nIS_HOST=n\r\n/ # ";
}

// Second argument: megabytes that keep coming after the answer is complete,
// each arrival of which shows the same details again.
void FloodedDetailAnswer(benchmark::State& state)
{
    std::string answer = FloodedDetailAnswer(size_t(state.range(0)));
    const size_t size = answer.size() + (size_t(state.range(1)) << 20);
    while (answer.size() < size)
        answer += "flood flood flood flood flood flood flood flood flood flood\r\n";
    CMyCortaviaDlg dlg;
    dlg.Create();
    double worstArrivalMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        dlg.m_transcript.clear();
        dlg.m_bDetailMode = 1;
        dlg.m_strHostnameId.clear();
        platform::SystemDecoder decoder;
        state.ResumeTiming();
        for (size_t at = 0; at < answer.size(); at += 1024) {
            QElapsedTimer arrival;
            arrival.start();
            const size_t n = std::min<size_t>(1024, answer.size() - at);
            AppendArrival(dlg, decoder.Decode(QByteArrayView(answer.data() + at, qsizetype(n))));
            worstArrivalMs = std::max(worstArrivalMs, arrival.nsecsElapsed() / 1e6);
        }
        if (dlg.m_strHostnameId != QStringLiteral("rx-001"))
            state.SkipWithError("the answer behind the flood was not read");
    }
    state.counters["bytes"] = double(answer.size());
    state.counters["worst_arrival_ms"] = worstArrivalMs;
}
BENCHMARK(FloodedDetailAnswer)->Args({10, 0})->Args({10, 1})->Unit(benchmark::kMillisecond)->Iterations(3);

// The longest the window is busy with one arrival once it shows the lists:
// fill 10000 rows and paint the visible part.
void FillAndPaintLists(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    CMyCortaviaDlg dlg;
    dlg.Create();
    dlg.show();
    for (auto _ : state) {
        std::vector<QStringList> rx;
        rx.reserve(size_t(rows));
        for (int i = 0; i < rows; ++i)
            rx.push_back({QStringLiteral("198.18.2.%1").arg(i % 250), "y", "0001", QString::number(i), "rx"});
        dlg.List(IDC_RX_LIST)->ReplaceAllItems(std::move(rx));
        dlg.List(IDC_RX_LIST)->viewport()->repaint();
        QCoreApplication::processEvents();
    }
}
BENCHMARK(FillAndPaintLists)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
