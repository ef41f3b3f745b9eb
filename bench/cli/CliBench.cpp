// cortavia-cli over simulated fleets, median of 5 runs; inside the test LAN:
//   scripts/testlan.sh -- build/release/bench/cli/cv_cli_bench
// inventory of 250 endpoints, discovery's quiet second included (target at
// most 2.5 s), and an upgrade of 8 receivers at once against one receiver
// through the real TFTP server and client (target ratio at most 1.3).
#include "cli/Cli.h"
#include "tests/cli/TftpServer.h"
#include "tools/endpoint-sim/harness/SimProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Seconds one run takes; negative when the command failed.
double Time(const std::vector<std::string>& args)
{
    std::ostringstream out, err;
    const auto start = std::chrono::steady_clock::now();
    const int rc = cv::cli::Run(args, out, err);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (rc != 0) {
        std::fprintf(stderr, "failed (%d): %s\n", rc, err.str().c_str());
        return -1;
    }
    return s;
}

std::vector<double> Runs(const std::vector<std::string>& args, int n = 5)
{
    std::vector<double> t;
    for (int i = 0; i < n; ++i) {
        const double s = Time(args);
        if (s < 0)
            return {};
        t.push_back(s);
    }
    return t;
}

void Print(const char* what, const std::vector<double>& t)
{
    std::printf("%-40s median %.3f s  (", what, Median(t));
    for (double s : t)
        std::printf(" %.3f", s);
    std::printf(" )\n");
}

}  // namespace

int main()
{
    {
        cv::sim::SimProcess sim({"--tx", "50", "--rx", "200"});
        if (!sim.start(std::chrono::seconds(30))) {
            std::fprintf(stderr, "simulator: %s\n", sim.error().c_str());
            return 1;
        }
        const auto t = Runs({"inventory", "--quiet", "--json", "--jobs", "32"});
        if (t.empty())
            return 1;
        Print("inventory, 250 endpoints, --jobs 32", t);
        std::printf("%-40s %s\n", "target at most 2.5 s", Median(t) <= 2.5 ? "met" : "NOT met");
    }
    {
        cv::cli_test::TftpServer server;
        if (!server.Start()) {
            std::fprintf(stderr, "in.tftpd did not start\n");
            return 1;
        }
        // The image size decides how much of the run is the transfer itself
        // (CV_BENCH_IMAGE_KIB, default 2048).
        const char* kib = std::getenv("CV_BENCH_IMAGE_KIB");
        const std::size_t size = (kib ? std::strtoul(kib, nullptr, 10) : 2048) * 1024;
        server.Put("webfwc.bin", std::string(size, 'f'));
        cv::sim::SimProcess sim({"--rx", "8", "--tftp", "real"});
        if (!sim.start(std::chrono::seconds(30)))
            return 1;
        std::vector<std::string> one = {"upgrade", "--quiet", "--tftp-root", server.dir(), "198.18.2.1"};
        std::vector<std::string> eight = {"upgrade", "--quiet", "--tftp-root", server.dir(), "--jobs", "8"};
        for (int i = 1; i <= 8; ++i)
            eight.push_back("198.18.2." + std::to_string(i));
        const auto t1 = Runs(one);
        const auto t8 = Runs(eight);
        if (t1.empty() || t8.empty())
            return 1;
        std::printf("image %zu KiB\n", size / 1024);
        Print("upgrade, 1 receiver", t1);
        Print("upgrade, 8 receivers in parallel", t8);
        const double ratio = Median(t8) / Median(t1);
        std::printf("%-40s %.2f (target at most 1.3: %s)\n", "ratio 8 : 1", ratio, ratio <= 1.3 ? "met" : "NOT met");
    }
    return 0;
}
