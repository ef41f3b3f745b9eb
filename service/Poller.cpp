#include "service/Poller.h"

#include "endpoint/Steps.h"
#include "endpoint/Types.h"
#include "lan/Discovery.h"
#include "lan/WorkstationLock.h"
#include "nodes/NodeList.h"

#include <QDebug>
#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <charconv>
#include <unordered_set>

namespace cv::service {

using endpoint::Narrow;
using std::chrono::milliseconds;

namespace {

std::vector<Sighting> SightingsOf(const nodes::NodeList& list)
{
    std::vector<Sighting> rows;
    rows.reserve(list.transmitters.size() + list.receivers.size());
    for (const auto& t : list.transmitters)
        rows.push_back({Narrow(t.address), Kind::Tx, "", Narrow(t.channel), Narrow(t.multicast), std::nullopt});
    for (const auto& r : list.receivers) {
        Sighting s{Narrow(r.address), Kind::Rx, Narrow(r.hostnameId), Narrow(r.channel), Narrow(r.multicast), {}};
        const std::string number = Narrow(r.number);
        int n = 0;
        // A number the list does not give (or garbles) leaves the receiver unnumbered.
        if (const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), n);
            ec == std::errc() && end == number.data() + number.size() && !number.empty())
            s.number = n;
        rows.push_back(std::move(s));
    }
    return rows;
}

}  // namespace

// One round's state, shared by the sessions it starts.
struct Poller::Round {
    Model::Ticket ticket = 0;
    std::chrono::steady_clock::time_point started;
    std::vector<std::string> answered;  // each address once
    std::vector<std::string> responders;  // who to ask for the node list, in turn
    std::size_t outstanding = 0;  // probes and reads still running
    bool listed = false;
    bool again = false;  // the next round starts at once
};

Poller::Poller(PollOptions options, Model& model, SessionGate& gate, Publish publish, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      model_(model),
      gate_(gate),
      publish_(std::move(publish))
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
}

Poller::~Poller()
{
    stopping_ = true;
    if (discovery_.joinable())
        discovery_.join();
}

void Poller::Start() { Poll(); }

void Poller::Failed(const std::string& step, const std::string& detail)
{
    std::vector<Event> events{
        {"failed", {{"operation", "poll"}, {"endpoint", "workstation"}, {"step", step}, {"detail", detail}}}};
    publish_(events);
}

void Poller::Poll()
{
    if (polling_ || stopping_)
        return;
    polling_ = true;
    auto round = std::make_shared<Round>();
    round->started = std::chrono::steady_clock::now();
    round->ticket = model_.BeginPoll();
    if (discovery_.joinable())
        discovery_.join();
    lan::DiscoveryOptions discovery;
    discovery.interfaces = options_.interfaces;
    // Said once a minute at most: two services on one workstation wait for
    // each other every round, and the log is not the place for each.
    discovery.waiting = [this](pid_t holder) {
        const auto now = std::chrono::steady_clock::now();
        if (lastWaitNotice_ != std::chrono::steady_clock::time_point{} &&
            now - lastWaitNotice_ < std::chrono::minutes(1))
            return;
        lastWaitNotice_ = now;
        qInfo("cortaviad: %s%s", lan::kWaitingForDiscovery,
              holder ? (": " + lan::DescribeProcess(holder)).c_str() : "");
    };
    discovery.cancelled = [this] { return stopping_; };
    QPointer<Poller> self(this);
    discovery_ = std::thread([this, self, round, discovery] {
        const lan::DiscoveryResult found = lan::Discover(discovery);
        std::string failure;
        if (found.failure)
            failure = lan::Describe(*found.failure);
        QMetaObject::invokeMethod(
            this,
            [this, self, round, replies = found.replies, failure] {
                if (self && !stopping_)
                    Discovered(round, replies, failure);
            },
            Qt::QueuedConnection);
    });
}

void Poller::Discovered(std::shared_ptr<Round> round, std::vector<std::string> replies, std::string failure)
{
    if (!failure.empty()) {
        // The workstation could not ask: nobody's silence means anything.
        const std::string problem = "discovery failed: " + failure;
        if (problem != problem_)
            Failed("discovery", failure);
        problem_ = problem;
        Finish(round);
        return;
    }
    if (!problem_.empty())
        qInfo("cortaviad: discovery works again");
    problem_.clear();

    std::unordered_set<std::string> seen;
    for (const auto& address : replies)
        if (seen.insert(address).second)
            round->answered.push_back(address);
    // The last responder gives the node list, as in the window; others in
    // turn when its shell does not answer. The box that gave the last list
    // goes first: the last responder changes from poll to poll, and may be
    // the one losing power.
    round->responders = lan::RespondersLatestFirst(replies);
    if (const auto it = std::find(round->responders.begin(), round->responders.end(), listFrom_);
        it != round->responders.end())
        std::rotate(round->responders.begin(), it, it + 1);

    // Missed twice in a row: is its shell still there? Only a probe that
    // fails too makes it offline.
    const Model::Presence presence = model_.ApplyPresence(round->answered);
    // A device that missed this round is asked again at once rather than
    // after the interval: a box that has lost power is known sooner, one
    // that lost an answer is cleared sooner.
    round->again = presence.missedOnce > 0;
    for (const std::string& mac : presence.suspects) {
        const Device* d = model_.Find(mac);
        if (!d)
            continue;
        ++round->outstanding;
        gate_.Probe(d->address, options_.probe, [this, round, mac](bool answered) {
            std::vector<Event> events;
            model_.ApplyProbe(mac, answered, events);
            publish_(events);
            if (--round->outstanding == 0 && round->listed)
                Finish(round);
        });
    }
    ListFrom(round);
}

void Poller::ListFrom(std::shared_ptr<Round> round)
{
    if (round->answered.empty()) {
        Listed(round, {});
        return;
    }
    if (round->responders.empty()) {
        // Nobody gave a list: what answered discovery is still there.
        std::vector<Sighting> rows;
        for (const auto& address : round->answered)
            if (const Device* d = model_.Find(address))
                rows.push_back({d->address, d->kind, d->hostnameId, d->channel, d->multicast, d->number});
        Listed(round, std::move(rows));
        return;
    }
    const std::string responder = round->responders.front();
    round->responders.erase(round->responders.begin());
    // A box that answered discovery a moment ago accepts at once or is gone:
    // the next one is asked rather than waiting out the whole time-out.
    ShellTimeouts quick = options_.timeouts;
    quick.connect = std::min(quick.connect, milliseconds(1000));
    gate_.Run(responder, endpoint::NodeListSteps(), quick,
              [this, round, responder](const endpoint::Result<>& result, const endpoint::Conversation& c) {
                  if (stopping_)
                      return;
                  const auto list = result ? nodes::ParseNodeList(c.transcript()) : std::nullopt;
                  if (!list) {
                      ListFrom(round);
                      return;
                  }
                  listFrom_ = responder;
                  Listed(round, SightingsOf(*list));
              });
}

void Poller::Listed(std::shared_ptr<Round> round, std::vector<Sighting> rows)
{
    std::vector<Event> events;
    const auto unknown = model_.ApplyPoll(round->ticket, round->answered, rows, WallClock::now(), events);
    publish_(events);

    std::unordered_map<std::string, const Sighting*> byAddress;
    for (const auto& r : rows)
        byAddress.emplace(r.address, &r);
    std::unordered_set<std::string> reading;
    const auto read = [&](const std::string& address) {
        if (!reading.insert(address).second)
            return;
        const auto it = byAddress.find(address);
        ReadIdentity(round, address,
                     it != byAddress.end() ? *it->second : Sighting{address, Kind::Rx, "", "", "", std::nullopt});
    };
    for (const std::string& address : unknown)
        read(address);

    // A few transmitters read again each round, in turn: their names come
    // only from that read, and a box swapped at the same address between
    // two rounds shows itself only by its MAC.
    std::vector<std::string> transmitters;
    const std::unordered_set<std::string> present(round->answered.begin(), round->answered.end());
    for (const auto& [mac, d] : model_.devices())
        if (d.kind == Kind::Tx && d.online && present.count(d.address))
            transmitters.push_back(d.address);
    for (std::size_t i = 0; i < std::min(options_.transmittersPerRound, transmitters.size()); ++i)
        read(transmitters[(txCursor_ + i) % transmitters.size()]);
    if (!transmitters.empty())
        txCursor_ = (txCursor_ + options_.transmittersPerRound) % transmitters.size();

    round->listed = true;
    if (round->outstanding == 0)
        Finish(round);
}

void Poller::ReadIdentity(std::shared_ptr<Round> round, const std::string& address, const Sighting& listed)
{
    ++round->outstanding;
    gate_.Run(address, endpoint::DetailQuerySteps(), options_.timeouts,
              [this, round, listed](const endpoint::Result<>& read, const endpoint::Conversation& c) {
                  if (stopping_)
                      return;
                  if (read) {
                      const auto d = endpoint::DetailsFrom(c.transcript());
                      const auto mac = NormalMac(Narrow(d.values.macAddress));
                      if (mac) {
                          Sighting seen = listed;
                          seen.kind = d.kind;  // the model takes no device of unknown kind
                          seen.channel = Narrow(d.values.channel);
                          seen.multicast = Narrow(d.values.multicast);
                          seen.hostnameId = Narrow(d.values.hostnameId);
                          std::vector<Event> events;
                          model_.ApplyIdentity(round->ticket, *mac, seen, WallClock::now(), events,
                                               Narrow(d.values.version));
                          publish_(events);
                      }
                  }
                  if (--round->outstanding == 0 && round->listed)
                      Finish(round);
              });
}

void Poller::Finish(std::shared_ptr<Round> round)
{
    polling_ = false;
    // Ready once the model has been read; a round that could not ask
    // leaves it as it was.
    ready_ = ready_ || round->listed;
    ++polls_;
    lastCycle_ = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - round->started);
    const auto wait = round->again ? milliseconds(0) : options_.poll - lastCycle_;
    timer_.start(static_cast<int>(std::max(wait, options_.shareGap).count()));
}

}  // namespace cv::service
