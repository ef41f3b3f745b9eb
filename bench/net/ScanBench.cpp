// Scan until the transcript holds the whole dump, against simulated fleets
// of 10, 100 and 1000 endpoints. Discovery alone takes at least one second
// (it waits for a quiet second after the last answer), so the figure that
// matters is the time over that floor.
#include "SimProcess.h"
#include "net/Session.h"
#include "nodes/Firmware.h"
#include "platform/MessageBox.h"
#include "platform/Controls.h"
#include "ui/CortaviaDlg.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <benchmark/benchmark.h>

namespace {

void ScanToCompleteTranscript(benchmark::State& state)
{
    const int endpoints = static_cast<int>(state.range(0));
    const int tx = endpoints / 5;
    cv::sim::SimProcess sim({"--tx", std::to_string(tx), "--rx", std::to_string(endpoints - tx)});
    if (!sim.start(std::chrono::seconds(30))) {
        state.SkipWithError(sim.error().c_str());
        return;
    }
    platform::SetMessageBoxHandler([](const platform::MessageBoxRequest&) { return platform::IDOK; });
    CMyCortaviaDlg dlg;
    dlg.Create();
    double overFloorMs = 0;
    for (auto _ : state) {
        QElapsedTimer t;
        t.start();
        Scan(dlg);
        while (!dlg.m_transcript.contains(cv::nodes::kDumpEndMarker.text()) && t.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const double ms = t.nsecsElapsed() / 1e6;
        overFloorMs += ms - 1000.0;
        state.SetIterationTime(ms / 1000.0);
        if (dlg.List(IDC_TX_LIST)->GetItemCount() + dlg.List(IDC_RX_LIST)->GetItemCount() != endpoints)
            state.SkipWithError("incomplete node list");
    }
    state.counters["over_floor_ms"] = overFloorMs / double(state.iterations());
    platform::SetMessageBoxHandler({});
}
BENCHMARK(ScanToCompleteTranscript)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("CV_LAN_NS")) {
        std::fprintf(stderr, "cv_scan_bench: run it inside the test LAN (scripts/testlan.sh -- %s)\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
