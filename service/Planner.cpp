#include "service/Planner.h"

#include "endpoint/Layout.h"
#include "endpoint/Types.h"

#include <algorithm>
#include <set>

namespace cv::service {

using endpoint::Widen;

Json ToJson(const RouteResult& r)
{
    Json j;
    j["rx"] = r.rx;
    j["ok"] = r.outcome.ok();
    if (r.route) {
        j["tx"] = r.route->tx ? Json(*r.route->tx) : Json(nullptr);
        j["channel"] = r.route->channel;
        j["tx_hostname_id"] = r.route->tx ? Json(r.route->txName) : Json(nullptr);
    }
    if (!r.outcome.ok()) {
        j["step"] = r.outcome.step;
        j["error"] = r.outcome.detail;
    }
    return j;
}

std::vector<endpoint::Step> Job::Steps() const
{
    std::vector<endpoint::Step> steps;
    if (channel)
        steps = endpoint::ConfirmedRouteSteps(*channel);
    if (!lines.empty()) {
        auto more = endpoint::LineSteps(lines, linesStep);
        steps.insert(steps.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
    return steps;
}

Outcome Resolve(const Model& model, const RouteRequest& request, const Device*& rx, std::string& channel)
{
    rx = model.Find(request.rx);
    if (!rx)
        return {Refusal::NotFound, "", "rx: no receiver " + request.rx};
    if (rx->kind != Kind::Rx)
        return {Refusal::BadInput, "", "rx: " + request.rx + " is a transmitter"};
    if (!request.tx) {
        const auto parked = model.UnusedChannel();
        if (!parked)
            return {Refusal::Conflict, "", "tx: every channel has a transmitter; none is free to show nothing"};
        channel = *parked;
        return {};
    }
    const Device* tx = model.Find(*request.tx);
    if (!tx)
        return {Refusal::NotFound, "", "tx: no transmitter " + *request.tx};
    if (tx->kind != Kind::Tx)
        return {Refusal::BadInput, "", "tx: " + *request.tx + " is a receiver"};
    if (!IsChannel(tx->channel))
        return {Refusal::Conflict, "", "tx: " + *request.tx + " has no channel yet"};
    // Only online transmitters count: a replaced box's ghost shares nothing.
    if (model.TransmittersOn(tx->channel).size() > 1)
        return {Refusal::Conflict, "",
                "tx: channel " + tx->channel + " has more than one transmitter; a receiver on it could show either"};
    channel = tx->channel;
    return {};
}

Plan PlanRoutes(const Model& model, const std::vector<RouteRequest>& requests)
{
    Plan plan;
    std::set<std::string> seen;
    for (const auto& request : requests) {
        const Device* rx = nullptr;
        std::string channel;
        Outcome o = Resolve(model, request, rx, channel);
        if (o.ok() && !seen.insert(rx->mac).second)
            o = {Refusal::BadInput, "", "rx: " + request.rx + " is routed twice in one request"};
        if (!o.ok()) {
            plan.refused.push_back({request.rx, o, std::nullopt});
            continue;
        }
        plan.jobs.push_back({rx->mac, rx->address, request.rx, channel, {}, {}});
    }
    return plan;
}

namespace {

// A display a scene names that cannot be reached now: its entry says why.
std::optional<Outcome> Unreachable(const Device* rx, const std::string& key)
{
    if (!rx)
        return Outcome{Refusal::NotFound, "resolve", "rx: no receiver " + key};
    if (rx->kind != Kind::Rx)
        return Outcome{Refusal::BadInput, "resolve", "rx: " + key + " is a transmitter"};
    if (!rx->online || rx->address.empty())
        return Outcome{Refusal::EndpointFailed, "offline", "rx: " + key + " is offline; nothing was sent to it"};
    return std::nullopt;
}

}  // namespace

Result<Plan> PlanRecall(const Model& model, const Scene& scene)
{
    Plan plan;
    std::optional<endpoint::Layout> layout;
    if (scene.wall) {
        std::string error;
        layout = endpoint::LayoutFromJson(*scene.wall, error);
        if (!layout)
            return Failure("scene " + scene.name + ": wall: " + error);
    }
    std::set<std::string> seen;
    for (const auto& route : scene.routes) {
        const Device* rx = model.Find(route.rx);
        if (auto why = Unreachable(rx, route.rx)) {
            plan.refused.push_back({route.rx, *why, rx ? model.RouteOf(rx->mac) : std::nullopt});
            continue;
        }
        std::string channel;
        Outcome o = Resolve(model, {route.rx, route.tx}, rx, channel);
        if (o.ok() && !seen.insert(rx->mac).second)
            o = {Refusal::BadInput, "resolve", "rx: " + route.rx + " is routed twice in the scene"};
        if (!o.ok()) {
            if (o.step.empty())
                o.step = "resolve";
            plan.refused.push_back({route.rx, o, model.RouteOf(rx->mac)});
            continue;
        }
        plan.jobs.push_back({rx->mac, rx->address, route.rx, channel, {}, "wall"});
    }
    if (layout) {
        for (const auto& p : layout->placements) {
            const std::string key = p.mac.empty() ? p.address : p.mac;
            const Device* rx = model.Find(key);
            if (auto why = Unreachable(rx, key)) {
                why->detail = "wall: " + why->detail;
                // One entry per display: a receiver already refused for its
                // route is not refused twice.
                const bool listed = std::any_of(plan.refused.begin(), plan.refused.end(), [&](const RouteResult& r) {
                    const Device* other = model.Find(r.rx);
                    return other && rx && other == rx;
                });
                if (!listed)
                    plan.refused.push_back({key, *why, std::nullopt});
                continue;
            }
            auto lines = endpoint::PlacementLines(*layout, p);
            const auto it =
                std::find_if(plan.jobs.begin(), plan.jobs.end(), [&](const Job& j) { return j.rx == rx->mac; });
            if (it != plan.jobs.end())
                it->lines = std::move(lines);
            else
                plan.jobs.push_back({rx->mac, rx->address, key, std::nullopt, std::move(lines), "wall"});
        }
    }
    return plan;
}

Plan PlanIdentify(const Model& model, bool on, const std::vector<std::string>& rx)
{
    Plan plan;
    std::vector<std::pair<std::string, const Device*>> targets;
    if (rx.empty()) {
        for (const auto& [mac, d] : model.devices())
            if (d.kind == Kind::Rx)
                targets.emplace_back(mac, &d);
    } else {
        for (const auto& key : rx)
            targets.emplace_back(key, model.Find(key));
    }
    const std::string step = on ? "osd on" : "osd off";
    for (const auto& [key, d] : targets) {
        if (auto why = Unreachable(d, key)) {
            plan.refused.push_back({key, *why, std::nullopt});
            continue;
        }
        if (on && !d->number) {
            plan.refused.push_back(
                {key, {Refusal::Conflict, "resolve", "rx: " + key + " has no number in the node list yet"}, {}});
            continue;
        }
        const std::u16string number = on ? Widen(std::to_string(*d->number)) : std::u16string();
        plan.jobs.push_back({d->mac, d->address, key, std::nullopt, {endpoint::OsdBufferedLine(on, number)}, step});
    }
    return plan;
}

bool AllSucceeded(const std::vector<RouteResult>& results)
{
    return std::all_of(results.begin(), results.end(), [](const RouteResult& r) { return r.outcome.ok(); });
}

}  // namespace cv::service
