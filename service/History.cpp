#include "service/History.h"

#include <sqlite3.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>

namespace cv::service {

namespace {

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Why(sqlite3* db, const std::string& what) { return "history: " + what + ": " + sqlite3_errmsg(db); }

bool Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// A prepared statement, finalised when it goes.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &s_, nullptr); }
    ~Statement() { sqlite3_finalize(s_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return s_; }
    explicit operator bool() const { return s_ != nullptr; }
    void Bind(int at, const std::string& text) const
    {
        sqlite3_bind_text(s_, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void Bind(int at, std::int64_t n) const { sqlite3_bind_int64(s_, at, n); }
    std::string Text(int column) const
    {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, column));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s_, column))) : std::string();
    }

private:
    sqlite3_stmt* s_ = nullptr;
};

constexpr const char* kSchema = "CREATE TABLE IF NOT EXISTS records ("
                                " id INTEGER PRIMARY KEY, time INTEGER NOT NULL, actor TEXT NOT NULL,"
                                " action TEXT NOT NULL, subject TEXT NOT NULL, detail TEXT NOT NULL,"
                                " ok INTEGER NOT NULL);"
                                "CREATE INDEX IF NOT EXISTS records_time ON records(time);"
                                "CREATE INDEX IF NOT EXISTS records_subject ON records(subject, time);"
                                "CREATE INDEX IF NOT EXISTS records_actor ON records(actor, time);"
                                "CREATE TABLE IF NOT EXISTS token_use (name TEXT PRIMARY KEY, last_used INTEGER);";

Result<sqlite3*> OpenDb(const std::string& path)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        const std::string why = db ? Why(db, "cannot open " + path) : "history: cannot open " + path;
        sqlite3_close(db);
        return Failure(why);
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

}  // namespace

nlohmann::ordered_json ToJson(const HistoryRecord& r)
{
    return {{"time", FormatTime(r.time)}, {"actor", r.actor},   {"action", r.action},
            {"subject", r.subject},       {"detail", r.detail}, {"ok", r.ok}};
}

Result<std::unique_ptr<History>> History::Open(const std::string& dir, Retention retention)
{
    std::unique_ptr<History> h(new History());
    h->retention_ = retention;
    const std::string path = dir + "/history.db";
    // Made 0600 before SQLite opens it: its journal files take its mode.
    if (const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600); fd >= 0)
        ::close(fd);
    auto writer = OpenDb(path);
    if (!writer)
        return Failure(writer.error());
    h->writer_ = *writer;
    // WAL: readers never wait for the writer. FULL: each commit is on the
    // disk when it returns, so a power cut keeps every committed record.
    if (!Exec(h->writer_, "PRAGMA journal_mode=WAL;") || !Exec(h->writer_, "PRAGMA synchronous=FULL;") ||
        !Exec(h->writer_, kSchema))
        return Failure(Why(h->writer_, "cannot set up " + path));
    auto reader = OpenDb(path);
    if (!reader)
        return Failure(reader.error());
    h->reader_ = *reader;
    h->thread_ = std::thread([p = h.get()] { p->Write(); });
    return h;
}

History::~History()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    sqlite3_close(reader_);
    sqlite3_close(writer_);
}

void History::Record(HistoryRecord record)
{
    if (record.time == 0)
        record.time = NowMs();
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(record));
        ++queued_;
    }
    wake_.notify_one();
}

void History::TokenUsed(const std::string& name, std::int64_t ms)
{
    {
        std::lock_guard lock(mutex_);
        uses_[name] = ms;
    }
    wake_.notify_one();
}

void History::Flush(bool prune)
{
    std::unique_lock lock(mutex_);
    const std::uint64_t target = queued_;
    prune_ = prune_ || prune;
    wake_.notify_one();
    drained_.wait(lock, [&] { return (written_ >= target && !prune_) || stop_; });
}

void History::Write()
{
    Statement insert(writer_, "INSERT INTO records (time, actor, action, subject, detail, ok) VALUES (?,?,?,?,?,?)");
    Statement use(writer_,
                  "INSERT INTO token_use (name, last_used) VALUES (?, ?) "
                  "ON CONFLICT(name) DO UPDATE SET last_used = excluded.last_used");
    std::int64_t lastPrune = 0;
    std::uint64_t sincePrune = 0;
    for (;;) {
        std::deque<HistoryRecord> batch;
        std::map<std::string, std::int64_t> uses;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stop_ || prune_ || !queue_.empty() || !uses_.empty(); });
            if (queue_.empty() && uses_.empty() && stop_)
                return;
            batch.swap(queue_);
            uses.swap(uses_);
            if (prune_ && queue_.empty()) {
                lastPrune = 0;
                prune_ = false;
            }
        }
        Exec(writer_, "BEGIN IMMEDIATE");
        for (const auto& r : batch) {
            insert.Bind(1, r.time);
            insert.Bind(2, r.actor);
            insert.Bind(3, r.action);
            insert.Bind(4, r.subject);
            insert.Bind(5, r.detail.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
            insert.Bind(6, std::int64_t{r.ok});
            sqlite3_step(insert.get());
            sqlite3_reset(insert.get());
        }
        for (const auto& [name, ms] : uses) {
            use.Bind(1, name);
            use.Bind(2, ms);
            sqlite3_step(use.get());
            sqlite3_reset(use.get());
        }
        Exec(writer_, "COMMIT");
        sincePrune += batch.size();
        const std::int64_t now = NowMs();
        // Pruning goes in pieces of its own between batches: an hour's
        // records, or a burst of them, at a time.
        if (now - lastPrune > 3600 * 1000 || sincePrune > 10000) {
            lastPrune = now;
            sincePrune = 0;
            Statement old(writer_, "DELETE FROM records WHERE time < ?");
            old.Bind(1, now - retention_.days * 24 * 3600 * 1000);
            sqlite3_step(old.get());
            Statement many(writer_, "DELETE FROM records WHERE id <= (SELECT MAX(id) FROM records) - ?");
            many.Bind(1, retention_.records);
            sqlite3_step(many.get());
        }
        {
            std::lock_guard lock(mutex_);
            written_ += batch.size();
        }
        drained_.notify_all();
    }
}

Result<std::vector<HistoryRecord>> History::Query(const HistoryQuery& q) const
{
    std::string sql = "SELECT time, actor, action, subject, detail, ok FROM records WHERE 1";
    if (q.since)
        sql += " AND time >= ?1";
    if (q.device)
        sql += " AND subject = ?2";
    if (q.actor)
        sql += " AND actor = ?3";
    sql += " ORDER BY time DESC, id DESC LIMIT ?4";
    const Statement s(reader_, sql);
    if (!s)
        return Failure(Why(reader_, "cannot read"));
    if (q.since)
        s.Bind(1, *q.since);
    if (q.device)
        s.Bind(2, *q.device);
    if (q.actor)
        s.Bind(3, *q.actor);
    s.Bind(4, static_cast<std::int64_t>(q.limit));
    std::vector<HistoryRecord> out;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        HistoryRecord r;
        r.time = sqlite3_column_int64(s.get(), 0);
        r.actor = s.Text(1);
        r.action = s.Text(2);
        r.subject = s.Text(3);
        r.detail = nlohmann::ordered_json::parse(s.Text(4), nullptr, false);
        if (r.detail.is_discarded())
            r.detail = nlohmann::ordered_json::object();
        r.ok = sqlite3_column_int(s.get(), 5) != 0;
        out.push_back(std::move(r));
    }
    if (rc != SQLITE_DONE)
        return Failure(Why(reader_, "cannot read"));
    return out;
}

Result<std::map<std::string, std::int64_t>> History::TokenUses() const
{
    const Statement s(reader_, "SELECT name, last_used FROM token_use");
    if (!s)
        return Failure(Why(reader_, "cannot read"));
    std::map<std::string, std::int64_t> out;
    while (sqlite3_step(s.get()) == SQLITE_ROW)
        out[s.Text(0)] = sqlite3_column_int64(s.get(), 1);
    return out;
}

void RecordResults(History* history, const std::string& actor, const std::string& action,
                   const std::vector<RouteResult>& results, const nlohmann::ordered_json& extra)
{
    if (!history)
        return;
    for (const auto& r : results) {
        HistoryRecord record;
        record.actor = actor;
        record.action = action;
        record.subject = r.route ? r.route->rx : r.rx;
        record.detail = ToJson(r);
        record.detail.erase("rx");
        if (extra.is_object())
            for (const auto& [k, v] : extra.items())
                record.detail[k] = v;
        record.ok = r.outcome.ok();
        history->Record(std::move(record));
    }
}

}  // namespace cv::service
