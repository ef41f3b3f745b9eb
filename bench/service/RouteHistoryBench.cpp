// What the history costs a route: route p50, request to read-back, with
// the history kept and with --history-days 0, against one fleet, each
// service started twice in turn so that drift of the machine falls on both.
//   scripts/testlan.sh -- build/release/bench/service/cv_route_history_bench [--routes N]
// The simulator keeps its wire logs in /tmp: on the same disk as the
// history, its appends wait for the history's fsync and the figure is the
// simulator's. A fair run gives it a /tmp of its own:
//   unshare -m sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /tmp &&
//     TMPDIR=/var/tmp scripts/testlan.sh -- build/release/bench/service/cv_route_history_bench'
#include "SimProcess.h"
#include "tests/service/ServiceClient.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

using namespace cv::service_test;

namespace {

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// Routes from a service started in `state`; empty when it failed.
std::vector<double> Routes(const std::string& state, bool history, int count)
{
    std::vector<std::string> extra{"--poll", "2"};
    if (!history)
        extra.insert(extra.end(), {"--history-days", "0"});
    Daemon daemon(state, extra);
    Client c;
    if (!WaitFor([&] {
            const Reply h = c.Get("/api/v1/health");
            return Ready(h) && h.body["online"] == 22;
        }))
        return {};
    std::vector<std::string> rx, tx;
    for (const auto& d : c.Get("/api/v1/devices").body)
        (d["kind"] == "rx" ? rx : tx).push_back(d["mac"]);
    std::vector<double> ms;
    for (int i = 0; i < count + 20; ++i) {
        QElapsedTimer t;
        t.start();
        const Reply r = c.Call("PUT", "/api/v1/routes/" + rx[static_cast<std::size_t>(i) % rx.size()],
                               R"({"tx":")" + tx[static_cast<std::size_t>(i / 20) % 2] + R"("})");
        if (r.status != 200) {
            std::fprintf(stderr, "route failed: %d %s\n", r.status, r.text.c_str());
            return {};
        }
        if (i >= 20)  // the first ones warm up connections and caches
            ms.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    // The history was (not) kept, as asked.
    const int expected = history ? 200 : 503;
    if (c.Get("/api/v1/history?limit=1").status != expected) {
        std::fprintf(stderr, "history answered otherwise than %d\n", expected);
        return {};
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int routes = 300;
    for (int i = 1; i + 1 < argc; i += 2)
        if (!std::strcmp(argv[i], "--routes"))
            routes = std::clamp(std::atoi(argv[i + 1]), 20, 100000);
    if (cv::sim::SimProcess::lanNamespace().empty()) {
        std::fprintf(stderr, "run inside scripts/testlan.sh\n");
        return 2;
    }
    cv::sim::SimProcess sim({"--tx", "2", "--rx", "20"});
    if (!sim.start()) {
        std::fprintf(stderr, "simulator: %s\n", sim.error().c_str());
        return 1;
    }
    const auto state = std::filesystem::temp_directory_path() / ("cv-route-history-" + std::to_string(::getpid()));
    std::vector<double> with, without;
    for (int run = 0; run < 2; ++run) {
        for (const bool history : {true, false}) {
            std::filesystem::create_directories(state);
            const auto ms = Routes(state.string(), history, routes / 2);
            std::filesystem::remove_all(state);
            if (ms.empty())
                return 1;
            (history ? with : without).insert((history ? with : without).end(), ms.begin(), ms.end());
        }
    }
    const double on = Percentile(with, 0.5), off = Percentile(without, 0.5);
    std::printf("\ncortaviad, 2 TX + 20 RX, %zu routes each, request to read-back\n", with.size());
    std::printf("| history | p50 | p90 | p99 |\n|---|---|---|---|\n");
    std::printf("| kept | %.2f ms | %.2f ms | %.2f ms |\n", on, Percentile(with, 0.9), Percentile(with, 0.99));
    std::printf("| --history-days 0 | %.2f ms | %.2f ms | %.2f ms |\n", off, Percentile(without, 0.9),
                Percentile(without, 0.99));
    std::printf("difference of p50: %+.2f ms (target: within 1 ms) %s\n", on - off, on - off <= 1.0 ? "met" : "MISSED");
    return on - off <= 1.0 ? 0 : 1;
}
