// What control systems and browsers send cortaviad: lines of the line
// protocol, request heads, the JSON bodies of the API, and MQTT messages
// (topic, payload) and broker URLs. The first byte
// chooses the reader; nothing may crash, hang or accept a body it cannot
// describe.
#include "service/Labels.h"
#include "service/LineProtocol.h"
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
    using namespace cv::service;
    if (size == 0)
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] >= 0xf0) {
        // A request head, judged as it arrives: with and without a token.
        for (const bool withToken : {false, true}) {
            HeadPolicy policy;
            if (withToken)
                policy.token = std::string(64, 'a');
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
    if (data[0] >= 0xe0) {
        Mqtt(text);
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
                for (const char c : *label)
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
