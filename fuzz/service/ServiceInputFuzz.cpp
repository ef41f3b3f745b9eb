// What control systems and browsers send cortaviad: lines of the line
// protocol, request heads, the JSON bodies of the API, and MQTT messages
// (topic, payload) and broker URLs. The first byte
// chooses the reader; nothing may crash, hang or accept a body it cannot
// describe.
#include "service/HistoryQuery.h"
#include "service/Labels.h"
#include "service/LineProtocol.h"
#include "service/Planner.h"
#include "service/MqttTopics.h"
#include "service/RequestHead.h"
#include "service/Requests.h"
#include "service/Scenes.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string_view>

namespace {

using namespace cv::service;

// The model's indexes agree with its devices, whatever happened to them.
void CheckIndexes(const Model& model)
{
    std::size_t online = 0;
    for (const auto& [mac, d] : model.devices()) {
        online += d.online;
        if (d.kind == Kind::Unknown)
            std::abort();
        if (!d.address.empty() && model.Find(d.address) != &d)
            std::abort();
        const auto& on = model.TransmittersOn(d.channel);
        if ((d.kind == Kind::Tx && d.online) != (on.count(mac) == 1))
            std::abort();
        if (const auto route = model.RouteOf(mac); route && route->tx) {
            const Device* tx = model.Find(*route->tx);
            if (!tx || !tx->online || tx->kind != Kind::Tx || tx->channel != d.channel)
                std::abort();
        }
    }
    if (online != model.online())
        std::abort();
    for (const auto& c : model.Conflicts())
        if (c.transmitters.size() < 2)
            std::abort();
}

// Polls, reads, probes, confirmed writes and forgets in any order, on a
// small fleet where addresses and MACs collide often; then the planner.
void RunModel(std::string_view script)
{
    Model model;
    std::vector<Event> events;
    const auto now = WallClock::time_point{} + std::chrono::hours(1);
    const auto mac = [](unsigned n) { return "00:00:00:00:00:0" + std::to_string(n % 8); };
    const auto address = [](unsigned n) { return "198.18.2." + std::to_string(1 + n % 6); };
    const auto channel = [](unsigned n) { return "000" + std::to_string(n % 4); };
    for (std::size_t i = 0; i + 3 < script.size(); i += 4) {
        const auto op = static_cast<unsigned char>(script[i]);
        const auto a = static_cast<unsigned char>(script[i + 1]), b = static_cast<unsigned char>(script[i + 2]),
                   c = static_cast<unsigned char>(script[i + 3]);
        // Now and then a read that could not tell the kind.
        const Kind kind = (c & 0x80) ? Kind::Unknown : (b & 1) ? Kind::Tx : Kind::Rx;
        const Sighting seen{address(a), kind, "h" + std::to_string(b % 3), channel(c), "y", std::nullopt};
        switch (op % 6) {
        case 0: model.ApplyIdentity(model.BeginPoll(), mac(b), seen, now, events); break;
        case 1: model.ApplyPoll(model.BeginPoll(), {address(a), address(b)}, {seen}, now, events); break;
        case 2: (void)model.ApplyPresence({address(a)}); break;
        case 3: model.ApplyProbe(mac(a), (b & 1) != 0, events); break;
        case 4: model.ApplyConfirmedChannel(mac(a), channel(c), now, events); break;
        case 5: (void)model.ApplyForget(mac(a), events); break;
        }
        CheckIndexes(model);
    }
    Scene scene{"fuzz", {}, std::nullopt};
    for (unsigned n = 0; n < 8; ++n)
        scene.routes.push_back({"00:00:00:00:00:0" + std::to_string(n), std::nullopt});
    if (const auto plan = PlanRecall(model, scene); !plan || plan->jobs.size() + plan->refused.size() != 8)
        std::abort();
}

// An MQTT message: the topic up to the first newline, the payload after it.
void Mqtt(std::string_view text)
{
    using namespace cv::service::mqtt;
    const auto cut = text.find('\n');
    const std::string_view topic = text.substr(0, cut);
    const std::string_view payload = cut == std::string_view::npos ? std::string_view{} : text.substr(cut + 1);
    static const Topics topics("fuzz");
    static const auto sources = NameSources({{"00:00:00:00:01:01", "198.18.1.1", "tx-1", ""},
                                             {"00:00:00:00:01:02", "198.18.1.2", "tx-1", ""},
                                             {"00:00:00:00:01:03", "198.18.1.3", "", "none"}});
    const auto command = ParseCommand(topics, topic, payload);
    if (const auto* set = std::get_if<SetSource>(&command)) {
        // Only a short, printable payload reaches a receiver's route.
        if (set->payload.size() > kMaxPayload || PayloadRefusal(set->payload) || !MacOfId(DeviceId(set->rx)))
            std::abort();
        const auto tx = ResolveSource(sources, set->payload);
        if (tx && *tx) {
            bool known = false;
            for (const auto& s : sources)
                known = known || s.mac == **tx;
            if (!known)
                std::abort();
        }
    }
    if (const auto* recall = std::get_if<RecallScene>(&command))
        if (!cv::service::IsSceneName(recall->name))
            std::abort();
    const auto options = Options(sources);
    if (std::set<std::string>(options.begin(), options.end()).size() != options.size())
        std::abort();
    if (const auto url = ParseBrokerUrl(std::string(text)))
        if (url->host.empty() || url->port < 1 || url->port > 65535 ||
            url->host.find_first_of("/@?#") != std::string::npos)
            std::abort();
    if (!IsSiteName(SiteFromHostName(std::string(text))))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    // The first byte: 0xf0 and up a request head, 0xe8 an history query,
    // 0xe0 a sequence of model changes, 0xd8 an MQTT message; below, the
    // line protocol and the bodies.
    if (data[0] >= 0xe0 && data[0] < 0xe8) {
        RunModel(text);
        return 0;
    }
    if (data[0] >= 0xd8 && data[0] < 0xe0) {
        Mqtt(text);
        return 0;
    }
    if (data[0] >= 0xf0) {
        // A request head, judged as it arrives: with and without a token.
        for (const bool withToken : {false, true}) {
            HeadPolicy policy;
            policy.lookup = [](std::string_view t) -> std::optional<Identity> {
                if (t == std::string(64, 'a'))
                    return Identity{"panel", Role::Viewer};
                return std::nullopt;
            };
            policy.anonymous = withToken ? Role::None : Role::Admin;
            policy.listen = "198.18.0.1";
            policy.hosts = {"cortavia.example"};
            policy.maxBody = 64 * 1024;
            const std::size_t length = HeadLength(text);
            const auto decision = DecideRaw(length ? text.substr(0, length) : text, policy);
            // Accepted: within every bound, with a token when one is needed.
            if (decision.ok() && decision.body > policy.maxBody)
                std::abort();
            if (!decision.ok()) {
                const std::string answer = RefusalResponse(decision);
                if (answer.rfind("HTTP/1.1 4", 0) != 0 || answer.find("\r\n\r\n{\"error\":") == std::string::npos)
                    std::abort();
            }
            if (const auto head = ParseHead(text))
                for (const auto& [name, value] : head->headers)
                    if (name.find_first_of("\r\n:") != std::string::npos ||
                        value.find_first_of("\r\n") != std::string::npos)
                        std::abort();
        }
        return 0;
    }
    if (data[0] >= 0xe8) {
        // The history's query: four parameters split at NUL bytes, each
        // sent or not; an accepted one is within its bounds and its time
        // reads back as it was written.
        std::optional<std::string> params[4];
        std::string_view rest = text;
        for (auto& p : params) {
            const auto nul = rest.find('\0');
            if (!rest.empty() && rest.front() != '\x01')
                p = std::string(rest.substr(0, nul));
            rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
        }
        const auto q = ParseHistoryQuery(params[0], params[1], params[2], params[3]);
        if (q) {
            if (q->limit < 1 || q->limit > kHistoryMaxLimit)
                std::abort();
            if (q->since && *q->since >= 0 && *q->since < 253402300800000 &&
                ParseTime(FormatTime(*q->since)) != q->since)
                std::abort();
        }
        (void)line::Parse("history " + std::string(text.substr(0, 16)));
        return 0;
    }
    switch (data[0] % 5) {
    case 0: {
        line::LineSplitter splitter;
        std::vector<std::optional<std::string>> lines;
        // Fed in two pieces, as TCP may cut it.
        splitter.Feed(text.substr(0, text.size() / 2), lines);
        splitter.Feed(text.substr(text.size() / 2), lines);
        for (const auto& l : lines) {
            if (!l)
                continue;
            if (l->size() > line::kMaxLine || l->find('\n') != std::string::npos)
                std::abort();
            const auto command = line::Parse(*l);
            if (const auto* bad = std::get_if<line::Bad>(&command))
                if (line::Err(bad->reason).find('\n') != bad->reason.size() + 5)
                    std::abort();  // a reason must stay on its one line
        }
        break;
    }
    default: {
        const auto body = ParseBody(text);
        if (!body)
            break;
        switch (data[0] % 5) {
        case 1: (void)RouteBody("198.18.2.1", *body); break;
        case 2: {
            const auto routes = BulkRouteBody(*body);
            if (routes && routes->size() != body->size())
                std::abort();
            break;
        }
        case 3: {
            (void)IdentifyBody(*body);
            // A label that is kept has no byte that could break a line.
            if (const auto label = LabelBody(*body))
                for (const char c : label->label + label->room)
                    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                        std::abort();
            break;
        }
        case 4: {
            const auto scene = SceneFromJson("fuzz", *body);
            if (scene) {
                // What is saved reads back the same.
                const auto again = SceneFromJson("fuzz", ToJson(*scene));
                if (!again || again->routes != scene->routes)
                    std::abort();
            }
            break;
        }
        }
    }
    }
    return 0;
}
