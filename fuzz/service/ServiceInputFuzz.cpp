// What control systems and browsers send cortaviad: lines of the line
// protocol, request heads and the JSON bodies of the API. The first byte
// chooses the reader; nothing may crash, hang or accept a body it cannot
// describe.
#include "service/Labels.h"
#include "service/LineProtocol.h"
#include "service/RequestHead.h"
#include "service/Requests.h"
#include "service/Scenes.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

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
