#include "service/ShellJob.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cv::service {

using endpoint::Clock;

namespace {

class PortProbe : public QObject {
public:
    PortProbe(QObject* context, std::function<void(bool)> done) : context_(context), done_(std::move(done))
    {
        deadline_.setSingleShot(true);
        QObject::connect(&deadline_, &QTimer::timeout, this, [this] { Finish(false); });
    }
    void Start(const std::string& address, unsigned short port, std::chrono::milliseconds within)
    {
        auto fd = lan::StartConnect(address, port);
        if (!fd) {
            // No socket, no route, no buffers: a probe this workstation
            // cannot make says nothing about the endpoint.
            const bool ours = fd.error().rfind("socket:", 0) == 0 || fd.error() == std::strerror(ENETUNREACH) ||
                fd.error() == std::strerror(ENOBUFS) || fd.error() == std::strerror(EADDRNOTAVAIL);
            QTimer::singleShot(0, this, [this, ours] { Finish(ours); });
            return;
        }
        fd_ = std::move(*fd);
        writer_ = std::make_unique<QSocketNotifier>(fd_.get(), QSocketNotifier::Write);
        QObject::connect(writer_.get(), &QSocketNotifier::activated, this,
                         [this] { Finish(lan::ConnectError(fd_.get()) == 0); });
        deadline_.start(static_cast<int>(within.count()));
    }

private:
    void Finish(bool answered)
    {
        if (finished_)
            return;
        finished_ = true;
        deadline_.stop();
        writer_.reset();
        fd_.reset();
        if (context_ && done_)
            done_(answered);
        deleteLater();
    }

    QPointer<QObject> context_;
    std::function<void(bool)> done_;
    lan::Fd fd_;
    std::unique_ptr<QSocketNotifier> writer_;
    QTimer deadline_;
    bool finished_ = false;
};

}  // namespace

void ShellJob::Probe(QObject* context, const std::string& address, unsigned short port,
                     std::chrono::milliseconds within, std::function<void(bool answered)> done)
{
    auto* probe = new PortProbe(context, std::move(done));
    probe->Start(address, port, within);
}

void ShellJob::Run(QObject* context, const std::string& address, unsigned short port, std::vector<endpoint::Step> steps,
                   ShellTimeouts timeouts, Done done)
{
    auto* job = new ShellJob(context, address, port, std::move(steps), timeouts, std::move(done));
    job->Start();
}

ShellJob::ShellJob(QObject* context, std::string address, unsigned short port, std::vector<endpoint::Step> steps,
                   ShellTimeouts timeouts, Done done)
    : address_(std::move(address)),
      port_(port),
      timeouts_(timeouts),
      done_(std::move(done)),
      context_(context),
      conversation_(timeouts.reply)
{
    auto all = endpoint::LoginSteps();
    all.insert(all.end(), std::make_move_iterator(steps.begin()), std::make_move_iterator(steps.end()));
    sequence_ = endpoint::Sequence(std::move(all));
    clock_.setSingleShot(true);
    connectDeadline_.setSingleShot(true);
    QObject::connect(&clock_, &QTimer::timeout, this, [this] {
        conversation_.OnTimer(Clock::now());
        Pump();
    });
    QObject::connect(&connectDeadline_, &QTimer::timeout, this, [this] {
        Finish(endpoint::Failure("connect", "no answer within " + endpoint::Seconds(timeouts_.connect)));
    });
}

void ShellJob::Start()
{
    auto fd = lan::StartConnect(address_, port_);
    if (!fd) {
        // Reported from the loop, as every other outcome is.
        const std::string why = fd.error();
        QTimer::singleShot(0, this, [this, why] { Finish(endpoint::Failure("connect", why)); });
        return;
    }
    fd_ = std::move(*fd);
    reader_ = std::make_unique<QSocketNotifier>(fd_.get(), QSocketNotifier::Read);
    writer_ = std::make_unique<QSocketNotifier>(fd_.get(), QSocketNotifier::Write);
    reader_->setEnabled(false);
    QObject::connect(reader_.get(), &QSocketNotifier::activated, this, [this] { Readable(); });
    QObject::connect(writer_.get(), &QSocketNotifier::activated, this, [this] { Writable(); });
    connectDeadline_.start(static_cast<int>(timeouts_.connect.count()));
}

void ShellJob::Writable()
{
    if (connecting_) {
        Connected();
        return;
    }
    writer_->setEnabled(false);
    Flush();
    Pump();
}

void ShellJob::Connected()
{
    connectDeadline_.stop();
    connecting_ = false;
    writer_->setEnabled(false);
    if (const int error = lan::ConnectError(fd_.get()); error != 0) {
        Finish(endpoint::Failure("connect", std::strerror(error)));
        return;
    }
    reader_->setEnabled(true);
    Pump();
}

void ShellJob::Readable()
{
    char buf[4096];
    const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
    if (n > 0) {
        conversation_.Receive(std::string_view(buf, static_cast<std::size_t>(n)), Clock::now());
    } else if (n == 0) {
        reader_->setEnabled(false);
        conversation_.PeerClosed("connection closed by the endpoint");
    } else if (errno == EAGAIN || errno == EINTR) {
        return;
    } else {
        reader_->setEnabled(false);
        conversation_.PeerClosed(std::string("connection lost: ") + std::strerror(errno));
    }
    Pump();
}

void ShellJob::Flush()
{
    unsent_ += conversation_.TakeOutgoing();
    while (!unsent_.empty() && fd_) {
        const ssize_t n = ::send(fd_.get(), unsent_.data(), unsent_.size(), MSG_NOSIGNAL);
        if (n > 0) {
            unsent_.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            writer_->setEnabled(true);  // the rest when the socket takes more
            return;
        }
        conversation_.PeerClosed(std::string("send: ") + std::strerror(errno));
        reader_->setEnabled(false);
        unsent_.clear();
        return;
    }
}

void ShellJob::Pump()
{
    if (finished_)
        return;
    const auto state = sequence_.Advance(conversation_, Clock::now());
    Flush();
    if (state != endpoint::Sequence::State::Running) {
        Finish(sequence_.result());
        return;
    }
    if (const auto timer = conversation_.Timer()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*timer - Clock::now()).count();
        clock_.start(static_cast<int>(std::clamp<long long>(left, 0, 60'000)));
    } else {
        clock_.stop();
    }
}

void ShellJob::Finish(endpoint::Result<> result)
{
    if (finished_)
        return;
    finished_ = true;
    clock_.stop();
    connectDeadline_.stop();
    reader_.reset();
    writer_.reset();
    fd_.reset();
    if (context_ && done_)
        done_(result, conversation_);
    deleteLater();
}

}  // namespace cv::service
