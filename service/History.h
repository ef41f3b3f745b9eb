#pragma once
// Who did what, and when each device came and went: history.db in the
// state directory, SQLite in WAL mode. Records are written on a thread of
// their own, each batch committed and synced before the next, so a route
// never waits for the disk and a kill or a power cut loses at most what
// was still queued. Pruning (age and count) runs on that thread too.
#include "service/HistoryQuery.h"
#include "service/Planner.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;

namespace cv::service {

struct HistoryRecord {
    std::int64_t time = 0;  // ms since the epoch
    std::string actor;  // a token's name, loopback, line:PEER, device, service, cli:USER
    std::string action;  // route, recall, identify, scene-save, ..., online, offline, ...
    std::string subject;  // a receiver's MAC, a scene's name, a token's name
    nlohmann::ordered_json detail = nlohmann::ordered_json::object();
    bool ok = true;
};

nlohmann::ordered_json ToJson(const HistoryRecord& r);

struct Retention {
    std::int64_t days = 90;
    std::int64_t records = 1000000;
};

class History {
public:
    static Result<std::unique_ptr<History>> Open(const std::string& dir, Retention retention = {});
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // Queued for the writer; returns at once. A record without a time
    // gets now.
    void Record(HistoryRecord record);
    // Newest first.
    Result<std::vector<HistoryRecord>> Query(const HistoryQuery& query) const;
    // Waits until everything queued so far is committed (and, with prune,
    // the retention applied at once rather than at the next hour).
    void Flush(bool prune = false);

    // When each token was last used (ms), kept here so that the command
    // line's `token list` can show it; written by the writer.
    void TokenUsed(const std::string& name, std::int64_t ms);
    Result<std::map<std::string, std::int64_t>> TokenUses() const;

private:
    History() = default;
    void Write();

    sqlite3* reader_ = nullptr;
    sqlite3* writer_ = nullptr;
    Retention retention_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    std::deque<HistoryRecord> queue_;
    std::map<std::string, std::int64_t> uses_;
    std::uint64_t queued_ = 0, written_ = 0;
    bool stop_ = false;
    bool prune_ = false;
    std::thread thread_;
};

// One record per display of a route, recall or identify, its subject the
// receiver's MAC (as asked when it was refused unknown); `extra` joins the
// detail of each. `history` may be null.
void RecordResults(History* history, const std::string& actor, const std::string& action,
                   const std::vector<RouteResult>& results, const nlohmann::ordered_json& extra = {});

}  // namespace cv::service
