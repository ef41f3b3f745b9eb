// The real cortavia-cli stopped by signals mid-run, as an operator's Ctrl-C
// does: the handlers live in main, so the binary runs as a child process.
#include "tests/cli/TftpServer.h"
#include "tools/endpoint-sim/harness/SimProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <thread>

using cv::sim::SimProcess;
using Json = nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string Rx(int i) { return "198.18.2." + std::to_string(i); }

std::string Slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Output goes to files: a pipe nobody drains could stall the child.
class Child {
public:
    explicit Child(std::vector<std::string> args)
        : dir_(fs::temp_directory_path() / ("cv-cli-stop-" + std::to_string(::getpid())))
    {
        fs::create_directories(dir_);
        args.insert(args.begin(), CV_CLI_BINARY);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string out = (dir_ / "out").string(), err = (dir_ / "err").string();
        pid_ = ::fork();
        if (pid_ == 0) {
            const int in = ::open("/dev/null", O_RDONLY), o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                      e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || o < 0 || e < 0 || ::dup2(in, 0) < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0)
                ::_exit(127);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        fs::remove_all(dir_);
    }
    void Signal(int sig) const { ::kill(pid_, sig); }
    // The wait status; nullopt (and killed) when still running after `within`.
    std::optional<int> Wait(std::chrono::milliseconds within)
    {
        const auto end = std::chrono::steady_clock::now() + within;
        for (int status = 0;; std::this_thread::sleep_for(20ms)) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return status;
            }
            if (std::chrono::steady_clock::now() > end)
                return std::nullopt;
        }
    }
    std::string Out() const { return Slurp(dir_ / "out"); }
    std::string Err() const { return Slurp(dir_ / "err"); }

private:
    fs::path dir_;
    pid_t pid_ = -1;
};

::testing::AssertionResult ExitedInterrupted(const std::optional<int>& status)
{
    if (!status)
        return ::testing::AssertionFailure() << "still running";
    if (!WIFEXITED(*status))
        return ::testing::AssertionFailure() << "ended by signal " << WTERMSIG(*status);
    if (WEXITSTATUS(*status) != 130)
        return ::testing::AssertionFailure() << "exit status " << WEXITSTATUS(*status);
    return ::testing::AssertionSuccess();
}

// Every record of the JSON output, by address.
std::map<std::string, std::vector<Json>> ByAddress(const std::string& out)
{
    std::map<std::string, std::vector<Json>> by;
    const Json rows = Json::parse(out, nullptr, false);
    EXPECT_TRUE(rows.is_array()) << out;
    if (rows.is_array())
        for (const Json& r : rows)
            by[r.value("address", "")].push_back(r);
    return by;
}

class CliStop : public ::testing::Test {
protected:
    void Start(std::vector<std::string> args)
    {
        sim = std::make_unique<SimProcess>(std::move(args));
        ASSERT_TRUE(sim->start()) << sim->error();
    }
    // Receivers 1..count get channel 0004+i and unicast.
    std::string Plan(int count)
    {
        plan = fs::temp_directory_path() / ("cv-cli-stop-plan-" + std::to_string(::getpid()) + ".csv");
        std::ofstream f(plan);
        f << "address,channel,multicast\n";
        for (int i = 1; i <= count; ++i)
            f << Rx(i) << ",000" << 4 + i << ",n\n";
        return plan.string();
    }
    void TearDown() override { fs::remove(plan); }

    std::unique_ptr<SimProcess> sim;
    fs::path plan;
};

}  // namespace

TEST_F(CliStop, ASignalWhileTheSecondEndpointRestartsFinishesItAndReportsTheRestAsNotStarted)
{
    Start({"--rx", "5", "--reboot-delay", "3000"});
    Child cli({"set", "--plan", Plan(5), "--reboot", "--jobs", "1", "--json"});
    ASSERT_TRUE(sim->waitForEvent(Rx(2), " cmd reboot", 120s)) << cli.Err();
    cli.Signal(SIGINT);
    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_TRUE(ExitedInterrupted(cli.Wait(90s))) << cli.Err();
    const auto took = std::chrono::steady_clock::now() - signalled;
    std::cout << "exited " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
              << " ms after the signal\n";
    EXPECT_NE(cli.Err().find("cortavia-cli: stopping"), std::string::npos) << cli.Err();

    const auto by = ByAddress(cli.Out());
    for (int i = 1; i <= 5; ++i) {
        const std::string ip = Rx(i);
        const auto it = by.find(ip);
        ASSERT_NE(it, by.end()) << ip << " missing from " << cli.Out();
        EXPECT_EQ(it->second.size(), i <= 2 ? 2u : 1u) << "channel and casting each, or one not-started row";
        for (const Json& r : it->second) {
            if (i <= 2) {
                EXPECT_EQ(r.value("status", ""), "confirmed") << r.dump();
                continue;
            }
            EXPECT_EQ(r.value("status", ""), "not started") << r.dump();
            EXPECT_TRUE(r.contains("error") && r["error"].is_string() && !r["error"].get<std::string>().empty())
                << r.dump();
        }
        const std::string wire = sim->wireBytes(ip);
        if (i > 2) {
            EXPECT_EQ(wire.find("astparam"), std::string::npos) << ip << ": " << wire;
            EXPECT_EQ(wire.find("reboot"), std::string::npos) << ip << ": " << wire;
        }
        // Saved settings wait for a reboot: unless one followed, the record must say so.
        const auto saved = wire.rfind("astparam save");
        const bool pending = std::any_of(it->second.begin(), it->second.end(),
                                         [](const Json& r) { return r.value("status", "") == "pending"; });
        EXPECT_TRUE(saved == std::string::npos || pending || wire.find("reboot\r\n", saved) != std::string::npos)
            << ip << " saved, not restarted: " << wire;
    }

    // The second endpoint was seen through: up again, then read on a new session.
    const auto lines = sim->eventLines(Rx(2));
    EXPECT_NE(std::find(lines.begin(), lines.end(), "up"), lines.end()) << sim->events(Rx(2));
    const auto conns = sim->connectionBytes(Rx(2));
    const auto rebooted = std::find_if(conns.begin(), conns.end(),
                                       [](const std::string& c) { return c.find("reboot\r\n") != std::string::npos; });
    ASSERT_NE(rebooted, conns.end());
    EXPECT_NE(rebooted + 1, conns.end()) << "no read-back after the reboot";
}

TEST_F(CliStop, ASecondSignalQuitsAtOnceWithASummary)
{
    Start({"--rx", "5", "--reboot-delay", "60000"});
    Child cli({"set", "--plan", Plan(3), "--reboot", "--jobs", "1", "--json"});
    ASSERT_TRUE(sim->waitForEvent(Rx(1), " cmd reboot", 120s)) << cli.Err();
    cli.Signal(SIGINT);
    std::this_thread::sleep_for(300ms);
    cli.Signal(SIGINT);
    ASSERT_TRUE(ExitedInterrupted(cli.Wait(10s))) << cli.Err();
    const std::string err = cli.Err();
    EXPECT_NE(err.find("cortavia-cli: quit at once:"), std::string::npos) << err;
    EXPECT_EQ(cli.Out(), "[]\n") << "with --json, standard output is still one JSON array";
    EXPECT_NE(err.find("0 endpoint(s) done, 1 left mid-operation in an unknown state, 2 not started"),
              std::string::npos)
        << err;
    EXPECT_EQ(sim->wireBytes(Rx(2)).find("astparam"), std::string::npos);
}

TEST_F(CliStop, UpgradeStoppedAfterTheUpdateScriptStillWaitsForTheEndpoint)
{
    cv::cli_test::TftpServer server;
    ASSERT_TRUE(server.Start());
    server.Put("webfwc.bin", "image");
    // Three query lines and six upgrade lines: down right after the update script.
    Start({"--rx", "2", "--tftp", "ok", "--fault", "reboot-after=9@" + Rx(1), "--reboot-delay", "3000"});
    Child cli({"upgrade", Rx(1), Rx(2), "--tftp-root", server.dir(), "--jobs", "1", "--json", "--same-version-ok"});
    ASSERT_TRUE(sim->waitForEvent(Rx(1), "fault_reboot", 120s)) << cli.Err();
    cli.Signal(SIGINT);
    ASSERT_TRUE(ExitedInterrupted(cli.Wait(90s))) << cli.Err();
    const auto by = ByAddress(cli.Out());
    ASSERT_EQ(by.count(Rx(1)), 1u) << cli.Out();
    ASSERT_EQ(by.count(Rx(2)), 1u) << cli.Out();
    EXPECT_EQ(by.at(Rx(1))[0].value("status", ""), "upgraded") << cli.Out();
    EXPECT_EQ(by.at(Rx(1))[0].value("version_after", ""), "A7.3.1") << cli.Out();
    EXPECT_EQ(by.at(Rx(2))[0].value("status", ""), "not started") << cli.Out();
    EXPECT_EQ(sim->wireBytes(Rx(2)), "") << "nothing at all reached the endpoint not started";
}
