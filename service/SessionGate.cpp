#include "service/SessionGate.h"

#include <memory>

namespace cv::service {

SessionGate::SessionGate(unsigned short port, std::size_t maxSessions, QObject* parent)
    : QObject(parent),
      port_(port),
      maxSessions_(std::max<std::size_t>(1, maxSessions))
{ }

void SessionGate::Enqueue(const std::string& address, Task task)
{
    Line& line = lines_[address];
    line.waiting.push_back(std::move(task));
    ++waiting_;
    if (!line.busy && line.waiting.size() == 1)
        ready_.push_back(address);
    Pump();
}

void SessionGate::Pump()
{
    while (active_ < maxSessions_ && !ready_.empty()) {
        const std::string address = std::move(ready_.front());
        ready_.pop_front();
        const auto it = lines_.find(address);
        if (it == lines_.end() || it->second.busy || it->second.waiting.empty())
            continue;
        Task task = std::move(it->second.waiting.front());
        it->second.waiting.pop_front();
        it->second.busy = true;
        --waiting_;
        ++active_;
        // `finished` may be called once only; a second call is ignored so
        // that one slip cannot free a slot that another session holds.
        auto once = std::make_shared<bool>(false);
        task([this, address, once] {
            if (std::exchange(*once, true))
                return;
            Finished(address);
        });
    }
}

void SessionGate::Finished(const std::string& address)
{
    --active_;
    const auto it = lines_.find(address);
    if (it != lines_.end()) {
        it->second.busy = false;
        if (it->second.waiting.empty())
            lines_.erase(it);
        else
            ready_.push_back(address);
    }
    Pump();
}

void SessionGate::Run(const std::string& address, std::vector<endpoint::Step> steps, ShellTimeouts timeouts,
                      ShellJob::Done done)
{
    auto shared = std::make_shared<std::vector<endpoint::Step>>(std::move(steps));
    Enqueue(address, [this, address, shared, timeouts, done = std::move(done)](std::function<void()> finished) {
        ShellJob::Run(this, address, port_, std::move(*shared), timeouts,
                      [done, finished](const endpoint::Result<>& result, const endpoint::Conversation& c) {
                          finished();
                          done(result, c);
                      });
    });
}

void SessionGate::Probe(const std::string& address, std::chrono::milliseconds within, std::function<void(bool)> done)
{
    Enqueue(address, [this, address, within, done = std::move(done)](std::function<void()> finished) {
        ShellJob::Probe(this, address, port_, within, [done, finished](bool answered) {
            finished();
            done(answered);
        });
    });
}

}  // namespace cv::service
