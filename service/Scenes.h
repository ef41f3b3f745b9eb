#pragma once
// Scenes: named sets of routes, with an optional wall layout in the form
// `cortavia-cli wall apply` reads. One JSON file each in the state
// directory's scenes/ folder.
#include "service/Model.h"
#include "service/StateFiles.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cv::service {

struct SceneRoute {
    std::string rx;  // receiver mac
    std::optional<std::string> tx;  // transmitter mac, or none: show nothing
    bool operator==(const SceneRoute&) const = default;
};

struct Scene {
    std::string name;
    std::vector<SceneRoute> routes;
    std::optional<Json> wall;
};

// Letters, digits, '-', '_', '.' and spaces inside, 1 to 64 characters, no
// leading dot: a name is also a file name.
bool IsSceneName(const std::string& name);

Json ToJson(const Scene& scene);
// Reads a scene body; `name` comes from the path. Every route's rx and tx
// must be a mac (normalised here); the error names the field.
Result<Scene> SceneFromJson(const std::string& name, const Json& body);

class SceneStore {
public:
    explicit SceneStore(std::string stateDir);
    Result<std::vector<std::string>> Names() const;
    // nullopt when there is no such scene.
    Result<std::optional<Scene>> Load(const std::string& name) const;
    Result<void> Save(const Scene& scene);
    // False when there was no such scene.
    Result<bool> Remove(const std::string& name);
    // Each scene file that cannot be read as a scene, and why, in the
    // words every API reports it with (no host path).
    std::vector<std::string> Problems() const;

private:
    // A scene read once is kept until its file changes (by us or by hand):
    // /health and every listing look at every scene, and a venue's scenes
    // are large.
    struct Cached {
        long long mtimeNs = 0;
        long long size = -1;
        unsigned long long inode = 0;
        Result<std::optional<Scene>> value;
    };
    std::string dir_;
    mutable std::map<std::string, Cached> cache_;
};

}  // namespace cv::service
