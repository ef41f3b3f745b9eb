#include "service/Scenes.h"

#include "endpoint/Layout.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <set>

namespace cv::service {

namespace {
constexpr const char* kSuffix = ".json";
}

bool IsSceneName(const std::string& name)
{
    if (name.empty() || name.size() > 64 || name.front() == '.' || name.front() == ' ' || name.back() == ' ')
        return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.' && c != ' ')
            return false;
    return true;
}

Json ToJson(const Scene& s)
{
    Json routes = Json::array();
    for (const auto& r : s.routes)
        routes.push_back({{"rx", r.rx}, {"tx", r.tx ? Json(*r.tx) : Json(nullptr)}});
    Json j;
    j["name"] = s.name;
    j["routes"] = std::move(routes);
    j["wall"] = s.wall ? *s.wall : Json(nullptr);
    return j;
}

Result<Scene> SceneFromJson(const std::string& name, const Json& body)
{
    if (!IsSceneName(name))
        return Failure("name: letters, digits, '-', '_', '.' and inner spaces, 1 to 64 characters");
    if (!body.is_object())
        return Failure("body: a JSON object with \"routes\"");
    for (const auto& [key, value] : body.items())
        if (key != "name" && key != "routes" && key != "wall")
            return Failure(key + ": not a scene field (name, routes, wall)");
    if (body.contains("name") && body["name"] != name)
        return Failure("name: differs from the name in the path");
    Scene s;
    s.name = name;
    const auto routes = body.find("routes");
    if (routes == body.end() || !routes->is_array())
        return Failure("routes: an array of {\"rx\", \"tx\"}");
    std::set<std::string> receivers;
    for (std::size_t i = 0; i < routes->size(); ++i) {
        const Json& r = (*routes)[i];
        const std::string at = "routes[" + std::to_string(i) + "]";
        if (!r.is_object() || !r.contains("rx") || !r.contains("tx") || r.size() != 2)
            return Failure(at + ": an object with rx and tx only");
        if (!r["rx"].is_string())
            return Failure(at + ".rx: a mac");
        SceneRoute route;
        const auto rx = NormalMac(r["rx"].get<std::string>());
        if (!rx)
            return Failure(at + ".rx: a mac");
        route.rx = *rx;
        if (!r["tx"].is_null()) {
            const auto tx = r["tx"].is_string() ? NormalMac(r["tx"].get<std::string>()) : std::nullopt;
            if (!tx)
                return Failure(at + ".tx: a mac or null");
            route.tx = *tx;
        }
        if (!receivers.insert(route.rx).second)
            return Failure(at + ".rx: this receiver has a route already");
        s.routes.push_back(std::move(route));
    }
    if (const auto wall = body.find("wall"); wall != body.end() && !wall->is_null()) {
        if (!wall->is_object())
            return Failure("wall: a layout object, as cortavia-cli wall apply reads");
        std::string error;
        if (!endpoint::LayoutFromJson(*wall, error))
            return Failure("wall: " + error);
        s.wall = *wall;
    }
    return s;
}

SceneStore::SceneStore(std::string stateDir) : dir_(std::move(stateDir) + "/scenes") { }

Result<std::vector<std::string>> SceneStore::Names() const { return ListFiles(dir_, kSuffix); }

std::vector<std::string> SceneStore::Problems() const
{
    std::vector<std::string> out;
    const auto names = Names();
    if (!names)
        return {"scenes: cannot be listed"};
    for (const auto& name : *names)
        if (const auto scene = Load(name); !scene)
            out.push_back(scene.error().rfind("scenes/", 0) == 0 ? scene.error()
                                                                 : "scenes/" + name + kSuffix + ": cannot be read");
    return out;
}

namespace {

Result<std::optional<Scene>> Parse(const std::string& name, const std::string& text)
{
    const Json body = Json::parse(text, nullptr, false);
    if (body.is_discarded())
        return Failure("scenes/" + name + kSuffix + ": not JSON");
    auto scene = SceneFromJson(name, body);
    if (!scene)
        return Failure("scenes/" + name + kSuffix + ": " + scene.error());
    return std::optional<Scene>{std::move(*scene)};
}

}  // namespace

Result<std::optional<Scene>> SceneStore::Load(const std::string& name) const
{
    if (!IsSceneName(name))
        return std::optional<Scene>{};
    const std::string path = dir_ + "/" + name + kSuffix;
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0) {
        cache_.erase(name);
        if (errno == ENOENT)
            return std::optional<Scene>{};
    } else {
        const long long mtime = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
        const auto it = cache_.find(name);
        if (it != cache_.end() && it->second.mtimeNs == mtime && it->second.size == st.st_size &&
            it->second.inode == st.st_ino)
            return it->second.value;
        const auto text = ReadWholeFile(path);
        if (!text)
            return Failure(text.error());
        if (!*text)
            return std::optional<Scene>{};
        auto value = Parse(name, **text);
        cache_[name] = {mtime, static_cast<long long>(st.st_size), static_cast<unsigned long long>(st.st_ino), value};
        return value;
    }
    const auto text = ReadWholeFile(path);
    if (!text)
        return Failure(text.error());
    if (!*text)
        return std::optional<Scene>{};
    return Parse(name, **text);
}

Result<void> SceneStore::Save(const Scene& scene)
{
    if (auto made = MakeDirectories(dir_); !made)
        return made;
    cache_.erase(scene.name);
    return WriteFileAtomically(dir_, scene.name + kSuffix, ToJson(scene).dump(2) + "\n");
}

Result<bool> SceneStore::Remove(const std::string& name)
{
    if (!IsSceneName(name))
        return false;
    cache_.erase(name);
    // A damaged file can be deleted too: only whether it is there counts.
    const auto existing = ReadWholeFile(dir_ + "/" + name + kSuffix);
    if (!existing)
        return Failure(existing.error());
    if (!*existing)
        return false;
    if (auto removed = RemoveFile(dir_, name + kSuffix); !removed)
        return Failure(removed.error());
    return true;
}

}  // namespace cv::service
