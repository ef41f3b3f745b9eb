#include "cli/Parallel.h"

#include "cli/Interrupt.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace cv::cli {

void RunParallel(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& fn)
{
    if (count == 0)
        return;
    const std::size_t threads = std::max<std::size_t>(1, std::min<std::size_t>(jobs, count));
    std::atomic<std::size_t> next{0};
    const auto worker = [&] {
        for (std::size_t i = next++; i < count; i = next++)
            fn(i);
    };
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t)
        pool.emplace_back(worker);
    worker();
    for (auto& t : pool)
        t.join();
}

Rows Row(Record row, bool failed)
{
    Rows r;
    r.rows.push_back(std::move(row));
    r.failed = failed;
    return r;
}

Rows CollectRows(std::size_t count, unsigned jobs, const std::function<Rows(std::size_t)>& one,
                 const std::function<Rows(std::size_t)>& notStarted)
{
    std::vector<Rows> each(count);
    interrupt::Planned(count);
    RunParallel(count, jobs, [&](std::size_t i) {
        if (interrupt::Requested()) {
            each[i] = notStarted(i);
            return;
        }
        interrupt::Started();
        each[i] = one(i);
        interrupt::Finished();
    });
    Rows all;
    for (Rows& r : each) {
        all.failed = all.failed || r.failed;
        for (Record& row : r.rows)
            all.rows.push_back(std::move(row));
    }
    return all;
}

}  // namespace cv::cli
