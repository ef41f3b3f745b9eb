// The history against kill -9: a child process records numbered writes in
// batches, and after each Flush() (its commit, synced) reports the last
// number on a pipe. A record counts as committed once that report came;
// whatever was only queued may go. The child is killed 20 times at random
// points, mostly while its writer is inside a transaction.
#include "service/History.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <random>
#include <set>

namespace cv::service {
namespace {

// Runs in the forked child until it is killed.
[[noreturn]] void Writer(const std::string& dir, int report)
{
    auto h = History::Open(dir);
    if (!h)
        ::_exit(3);
    // Numbering goes on from what the database holds, committed or not.
    std::int64_t n = 0;
    HistoryQuery newest;
    newest.limit = 1;
    if (const auto last = (*h)->Query(newest); last && !last->empty())
        n = std::stoll(last->front().subject);
    for (std::int64_t batch = 1;; ++batch) {
        for (std::int64_t i = 0; i < 1 + batch % 9; ++i) {
            ++n;
            (*h)->Record({0, "writer", "route", std::to_string(n), {{"n", n}}, true});
        }
        (*h)->Flush();
        if (::write(report, &n, sizeof n) != sizeof n)
            ::_exit(4);
    }
}

TEST(HistoryCrash, TwentyKillsDuringWritesLeaveADatabaseThatOpensWithEveryCommittedRecord)
{
    const auto dir = std::filesystem::temp_directory_path() / ("cv-history-kill-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::mt19937 random(30);
    std::int64_t committed = 0;
    for (int round = 0; round < 20; ++round) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(fds[0]);
            Writer(dir.string(), fds[1]);
        }
        ::close(fds[1]);
        // Let it commit at least once, then kill it somewhere within the
        // next 0-30 ms.
        const auto read = [&](int timeoutMs) {
            pollfd p{fds[0], POLLIN, 0};
            while (::poll(&p, 1, timeoutMs) > 0) {
                std::int64_t n;
                if (::read(fds[0], &n, sizeof n) != sizeof n)
                    return false;
                EXPECT_GT(n, committed);
                committed = n;
                timeoutMs = 0;
            }
            return true;
        };
        const std::int64_t before = committed;
        const auto start = std::chrono::steady_clock::now();
        while (committed == before && std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
            read(50);
        ASSERT_GT(committed, before) << "round " << round << ": the writer never committed";
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(random() % 31);
        while (std::chrono::steady_clock::now() < until)
            read(1);
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;
        read(0);  // reports written before the kill
        ::close(fds[0]);
    }

    // The file is sound, and every number up to the last reported is there once.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2((dir / "history.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "ok");
    sqlite3_finalize(s);
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT subject FROM records", -1, &s, nullptr), SQLITE_OK);
    std::multiset<std::int64_t> kept;
    while (sqlite3_step(s) == SQLITE_ROW)
        kept.insert(sqlite3_column_int64(s, 0));
    sqlite3_finalize(s);
    sqlite3_close(db);
    for (std::int64_t n = 1; n <= committed; ++n)
        ASSERT_EQ(kept.count(n), 1u) << "record " << n << " of " << committed << " committed";
    // History opens it again and reads it back.
    auto h = History::Open(dir.string());
    ASSERT_TRUE(h) << h.error();
    HistoryQuery all;
    all.limit = kHistoryMaxLimit;
    ASSERT_TRUE((*h)->Query(all));
    std::cout << committed << " records committed over 20 kills, " << kept.size() << " kept\n";
    (*h).reset();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace cv::service
