// cortaviad at a venue's size, inside the test LAN against endpoint-sim:
// 2 transmitters and N receivers (default 1,000), the default poll of 2 s.
// Each figure is printed beside its target:
//   start to a complete model, one poll cycle, idle CPU, one route from
//   request to read-back, a recall of every receiver (with /health asked
//   all through it), RSS, and the false offline events while nothing fails.
//   scripts/testlan.sh -- build/release/bench/service/cv_service_bench [--rx N] [--idle S] [--soak S]
#include "SimProcess.h"
#include "tests/service/ServiceClient.h"

#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

using namespace cv::service_test;

namespace {

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

struct ProcStat {
    double cpuSeconds = 0;
    long rssKiB = 0;
};
ProcStat Sample(qint64 pid)
{
    ProcStat s;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14)
            utime = std::stol(f);
        if (i == 15) {
            stime = std::stol(f);
            break;
        }
    }
    s.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            s.rssKiB = std::stol(line.substr(6));
    return s;
}

// GET /health on a plain blocking socket, timed from connect to the whole
// answer: what a monitoring probe sees, free of this program's own loop.
double HealthMs()
{
    const auto start = std::chrono::steady_clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(8470);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const char request[] = "GET /api/v1/health HTTP/1.1\r\nHost: 127.0.0.1:8470\r\nConnection: close\r\n\r\n";
        (void)!::write(fd, request, sizeof request - 1);
        char buf[4096];
        while (::read(fd, buf, sizeof buf) > 0) { }
    }
    ::close(fd);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

struct Row {
    std::string figure, measured, target;
    bool met;
};

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int receivers = 1000, idleSeconds = 60, soakSeconds = 600;
    for (int i = 1; i + 1 < argc; i += 2) {
        const int value = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--rx"))
            receivers = std::clamp(value, 1, 5000);
        else if (!std::strcmp(argv[i], "--idle"))
            idleSeconds = std::max(1, value);
        else if (!std::strcmp(argv[i], "--soak"))
            soakSeconds = std::max(0, value);
    }
    if (cv::sim::SimProcess::lanNamespace().empty()) {
        std::fprintf(stderr, "run inside scripts/testlan.sh\n");
        return 2;
    }
    // One more receiver on a /24 of its own, whose power the bench cuts.
    cv::sim::SimProcess sim(
        {"--tx", "2", "--rx", std::to_string(receivers), "--node", "rx ip=198.18.99.1 hostname_id=goner"});
    if (!sim.start()) {
        std::fprintf(stderr, "simulator: %s\n", sim.error().c_str());
        return 1;
    }
    const int fleet = receivers + 3;
    const auto state = std::filesystem::temp_directory_path() / ("cv-svc-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(state);
    std::vector<Row> rows;
    char text[160];

    // Start to a complete model: every endpoint listed, online, by MAC.
    QElapsedTimer started;
    started.start();
    Daemon daemon(state.string(), {"--poll", "2"});
    Client c;
    if (!WaitFor([&] {
            const Reply h = c.Get("/api/v1/health");
            return Ready(h) && h.body["online"] == fleet;
        })) {
        std::fprintf(stderr, "the service never found the fleet\n");
        return 1;
    }
    const double startup = static_cast<double>(started.elapsed()) / 1000.0;
    std::snprintf(text, sizeof text, "%.2f s", startup);
    rows.push_back({"start to a complete model", text, "<= 3 s", startup <= 3.0});

    // Everything the stream says from here on; an offline is a false alarm.
    QNetworkReply* stream = c.Stream();
    QByteArray events;
    std::size_t offline = 0;
    QObject::connect(stream, &QNetworkReply::readyRead, [&] {
        events += stream->readAll();
        for (qsizetype at; (at = events.indexOf("event: offline")) >= 0;) {
            ++offline;
            events.remove(0, at + 14);
        }
        if (events.size() > (1 << 20))
            events = events.right(64);
    });
    WaitFor([&] { return events.contains(": connected"); });

    std::vector<std::string> rx;
    std::string tx1, tx2;
    for (const auto& d : c.Get("/api/v1/devices").body) {
        if (d["kind"] == "tx")
            (tx1.empty() ? tx1 : tx2) = d["mac"];
        else if (d["address"] != "198.18.99.1")
            rx.push_back(d["mac"]);
    }

    // Poll cycles: what the service measured for its last rounds.
    std::vector<double> cycles;
    for (int i = 0; i < 5; ++i) {
        const int polls = c.Get("/api/v1/health").body["polls"];
        WaitFor([&] { return c.Get("/api/v1/health").body["polls"].get<int>() > polls; });
        cycles.push_back(c.Get("/api/v1/health").body["poll_cycle_ms"].get<double>());
    }
    const double cycle = Percentile(cycles, 0.5) / 1000.0;
    std::snprintf(text, sizeof text, "%.2f s (max %.2f)", cycle,
                  *std::max_element(cycles.begin(), cycles.end()) / 1000);
    rows.push_back({"poll cycle", text, "<= 1.5 s", cycle <= 1.5});

    // Idle: nothing asked, polls every 2 s.
    const qint64 pid = daemon.process().processId();
    long peak = Sample(pid).rssKiB;
    {
        const ProcStat before = Sample(pid);
        QElapsedTimer idle;
        idle.start();
        while (idle.elapsed() < idleSeconds * 1000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
            peak = std::max(peak, Sample(pid).rssKiB);
        }
        const double cpu = 100.0 * (Sample(pid).cpuSeconds - before.cpuSeconds) / idleSeconds;
        std::snprintf(text, sizeof text, "%.2f %% of a core over %d s", cpu, idleSeconds);
        rows.push_back({"idle CPU", text, "<= 2 %", cpu <= 2.0});
    }

    // One route, request to read-back, 200 times over the fleet.
    std::vector<double> ms;
    for (int i = 0; i < 200; ++i) {
        QElapsedTimer t;
        t.start();
        const Reply r = c.Call("PUT", "/api/v1/routes/" + rx[static_cast<std::size_t>(i * 7) % rx.size()],
                               R"({"tx":")" + (i % 2 ? tx1 : tx2) + R"("})");
        ms.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        if (r.status != 200) {
            std::fprintf(stderr, "route failed: %d %s\n", r.status, r.text.c_str());
            return 1;
        }
    }
    const double p50 = Percentile(ms, 0.5);
    std::snprintf(text, sizeof text, "p50 %.1f ms, p99 %.1f ms, max %.1f ms", p50, Percentile(ms, 0.99),
                  *std::max_element(ms.begin(), ms.end()));
    rows.push_back({"route", text, "p50 <= 10 ms", p50 <= 10});

    // A recall of every receiver, with /health asked all through it.
    Json a = Json::array(), b = Json::array();
    for (const auto& mac : rx) {
        a.push_back({{"rx", mac}, {"tx", tx1}});
        b.push_back({{"rx", mac}, {"tx", tx2}});
    }
    c.Call("PUT", "/api/v1/scenes/a", Json{{"routes", a}}.dump());
    c.Call("PUT", "/api/v1/scenes/b", Json{{"routes", b}}.dump());
    std::vector<double> recalls, health;
    for (int run = 0; run < 3; ++run) {
        for (const char* scene : {"a", "b"}) {
            QNetworkAccessManager net;
            QNetworkRequest request(QUrl(QString("http://127.0.0.1:8470/api/v1/scenes/%1/recall").arg(scene)));
            request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
            QElapsedTimer t;
            t.start();
            QNetworkReply* recall = net.post(request, QByteArray());
            // A monitoring probe every 20 ms, on a thread of its own.
            std::atomic<bool> done{false};
            std::vector<double> asked;
            std::thread probe([&] {
                while (!done) {
                    asked.push_back(HealthMs());
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            });
            WaitFor([&] { return recall->isFinished(); });
            recalls.push_back(static_cast<double>(t.nsecsElapsed()) / 1e9);
            done = true;
            probe.join();
            health.insert(health.end(), asked.begin(), asked.end());
            const int status = recall->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (status != 200) {
                std::fprintf(stderr, "recall failed: %d %s\n", status, recall->readAll().left(300).constData());
                return 1;
            }
            recall->deleteLater();
            peak = std::max(peak, Sample(pid).rssKiB);
        }
    }
    const double recall = Percentile(recalls, 0.5), slowest = *std::max_element(health.begin(), health.end());
    std::snprintf(text, sizeof text, "median %.2f s (max %.2f); /health at worst %.0f ms (%zu asked)", recall,
                  *std::max_element(recalls.begin(), recalls.end()), slowest, health.size());
    rows.push_back({"recall of every receiver", text, "<= 2 s, /health <= 100 ms", recall <= 2.0 && slowest <= 100});

    // A power cut (the address taken off the LAN) to its offline event.
    const std::string ns = cv::sim::SimProcess::lanNamespace();
    std::vector<double> cuts;
    const std::size_t falseBefore = offline;
    for (int run = 0; run < 3; ++run) {
        QElapsedTimer pause;  // somewhere in the poll cycle, not at its start
        pause.start();
        WaitFor([&] { return pause.elapsed() > 700 * run; });
        const std::size_t seen = offline;
        std::system(("ip -n " + ns + " route del local 198.18.99.0/24 dev lo").c_str());
        QElapsedTimer t;
        t.start();
        WaitFor([&] { return offline > seen; });
        cuts.push_back(static_cast<double>(t.elapsed()) / 1000.0);
        std::system(("ip -n " + ns + " route add local 198.18.99.0/24 dev lo").c_str());
        WaitFor([&] { return c.Get("/api/v1/health").body["online"] == fleet; });
    }
    offline = falseBefore;  // those were real
    const double worstCut = *std::max_element(cuts.begin(), cuts.end());
    std::snprintf(text, sizeof text, "median %.1f s, at worst %.1f s", Percentile(cuts, 0.5), worstCut);
    rows.push_back({"power cut to offline event", text, "<= 6 s (3 polls)", worstCut <= 6.0});

    // Nothing fails for the soak: every offline is a false one.
    QElapsedTimer soak;
    soak.start();
    while (soak.elapsed() < soakSeconds * 1000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 200);
        peak = std::max(peak, Sample(pid).rssKiB);
    }
    std::snprintf(text, sizeof text, "%zu in %d s", offline, soakSeconds + idleSeconds);
    rows.push_back({"false offline events", text, "0 in 10 minutes", offline == 0});
    std::snprintf(text, sizeof text, "%.1f MiB at peak", static_cast<double>(peak) / 1024.0);
    rows.push_back({"RSS", text, "<= 64 MiB", peak <= 64 * 1024});

    std::printf("\ncortaviad, 2 TX + %d RX, poll 2 s\n", receivers);
    std::printf("| figure | measured | target | |\n|---|---|---|---|\n");
    for (const auto& r : rows)
        std::printf("| %s | %s | %s | %s |\n", r.figure.c_str(), r.measured.c_str(), r.target.c_str(),
                    r.met ? "met" : "MISSED");
    stream->abort();
    std::filesystem::remove_all(state);
    return 0;
}
