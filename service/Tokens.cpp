#include "service/Tokens.h"

#include <nlohmann/json.hpp>

#include <QCryptographicHash>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace cv::service {

namespace {

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool IsHex64(const std::string& s)
{
    return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The directory's lock for changes, held while it lives: two `token add`
// at once must not lose one of them.
class DirLock {
public:
    explicit DirLock(const std::string& dir)
        : fd_(::open((dir + "/tokens.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        if (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~DirLock()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    DirLock(const DirLock&) = delete;
    DirLock& operator=(const DirLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_;
};

}  // namespace

Result<std::vector<TokenEntry>> ParseTokens(std::string_view json)
{
    const auto j = nlohmann::json::parse(json, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("tokens") || !j["tokens"].is_array())
        return Failure("tokens.json: not {\"tokens\": [...]}");
    std::vector<TokenEntry> out;
    for (const auto& t : j["tokens"]) {
        if (!t.is_object() || !t.contains("name") || !t["name"].is_string() || !t.contains("role") ||
            !t["role"].is_string() || !t.contains("sha256") || !t["sha256"].is_string())
            return Failure("tokens.json: every token needs name, role and sha256");
        TokenEntry e;
        e.name = t["name"].get<std::string>();
        const auto role = ParseRole(t["role"].get<std::string>());
        e.sha256 = t["sha256"].get<std::string>();
        if (!IsTokenName(e.name) || !role || !IsHex64(e.sha256))
            return Failure("tokens.json: token '" + e.name.substr(0, 64) + "' is not valid");
        e.role = *role;
        if (t.contains("created") && t["created"].is_number_integer())
            e.created = t["created"].get<std::int64_t>();
        for (const auto& other : out)
            if (other.name == e.name)
                return Failure("tokens.json: the name '" + e.name + "' twice");
        out.push_back(std::move(e));
    }
    return out;
}

std::string TokensJson(const std::vector<TokenEntry>& tokens)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& t : tokens)
        list.push_back({{"name", t.name}, {"role", ToString(t.role)}, {"sha256", t.sha256}, {"created", t.created}});
    return nlohmann::ordered_json{{"tokens", list}}.dump(2) + "\n";
}

std::string HashToken(std::string_view token)
{
    // The tokens are 256 random bits: a plain hash is as hard to reverse
    // as the token is to guess, and costs a request nothing.
    return QCryptographicHash::hash(QByteArrayView(token.data(), static_cast<qsizetype>(token.size())),
                                    QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

TokenStore::TokenStore(std::string dir) : dir_(std::move(dir)) { }

Result<std::vector<TokenEntry>> TokenStore::Load() const
{
    const std::string path = dir_ + "/tokens.json";
    const auto text = ReadWholeFile(path);
    if (!text)
        return Failure(text.error());
    if (!*text)
        return std::vector<TokenEntry>{};
    struct stat st { };
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
        return Failure(path + " can be read by others than its owner: chmod 600 it");
    auto parsed = ParseTokens(**text);
    if (!parsed)
        return Failure(path + ": " + parsed.error());
    return parsed;
}

Result<void> TokenStore::Save(const std::vector<TokenEntry>& tokens) const
{
    if (auto made = MakeDirectories(dir_); !made)
        return made;
    return WriteFileAtomically(dir_, "tokens.json", TokensJson(tokens), 0600);
}

std::optional<std::string> TokenStore::Refresh()
{
    struct stat st { };
    const std::string path = dir_ + "/tokens.json";
    std::string now = "none";
    if (::stat(path.c_str(), &st) == 0)
        now = std::to_string(st.st_ino) + "/" + std::to_string(st.st_size) + "/" + std::to_string(st.st_mtim.tv_sec) +
            "." + std::to_string(st.st_mtim.tv_nsec) + "/" + std::to_string(st.st_mode);
    if (now == seen_)
        return std::nullopt;
    seen_ = now;
    auto loaded = Load();
    tokens_.clear();
    byHash_.clear();
    if (!loaded)
        return loaded.error() + "; no token is accepted until it is fixed";
    tokens_ = std::move(*loaded);
    for (std::size_t i = 0; i < tokens_.size(); ++i)
        byHash_[tokens_[i].sha256] = i;
    return std::nullopt;
}

std::optional<Identity> TokenStore::Find(std::string_view token) const
{
    if (token.empty() || byHash_.empty())
        return std::nullopt;
    const auto at = byHash_.find(HashToken(token));
    if (at == byHash_.end())
        return std::nullopt;
    const TokenEntry& e = tokens_[at->second];
    return Identity{e.name, e.role};
}

Result<std::string> TokenStore::Add(const std::string& name, Role role)
{
    if (!IsTokenName(name))
        return Failure("name: letters, digits, '-', '_' and '.', 1 to 64, not starting with '.' or '-'");
    if (auto made = MakeDirectories(dir_); !made)
        return Failure(made.error());
    const DirLock lock(dir_);
    if (!lock.held())
        return Failure("cannot lock " + dir_ + "/tokens.lock: " + std::strerror(errno));
    auto tokens = Load();
    if (!tokens)
        return Failure(tokens.error());
    for (const auto& t : *tokens)
        if (t.name == name)
            return Failure("name: a token named '" + name + "' exists; revoke it first");
    auto secret = NewSecret();
    if (!secret)
        return secret;
    tokens->push_back({name, role, HashToken(*secret), NowMs()});
    if (auto saved = Save(*tokens); !saved)
        return Failure(saved.error());
    return secret;
}

Result<bool> TokenStore::Revoke(const std::string& name)
{
    const DirLock lock(dir_);
    if (!lock.held())
        return Failure("cannot lock " + dir_ + "/tokens.lock: " + std::strerror(errno));
    auto tokens = Load();
    if (!tokens)
        return Failure(tokens.error());
    const auto n = std::erase_if(*tokens, [&](const TokenEntry& t) { return t.name == name; });
    if (n == 0)
        return false;
    if (auto saved = Save(*tokens); !saved)
        return Failure(saved.error());
    return true;
}

Result<bool> TokenStore::ImportLegacy()
{
    struct stat st { };
    if (::stat((dir_ + "/token").c_str(), &st) != 0)
        return false;
    // Its checks (mode, length) are the old ones.
    auto legacy = LoadOrCreateToken(dir_);
    if (!legacy)
        return Failure(legacy.error());
    const DirLock lock(dir_);
    if (!lock.held())
        return Failure("cannot lock " + dir_ + "/tokens.lock: " + std::strerror(errno));
    auto tokens = Load();
    if (!tokens)
        return Failure(tokens.error());
    std::erase_if(*tokens, [](const TokenEntry& t) { return t.name == "token"; });
    tokens->push_back({"token", Role::Admin, HashToken(*legacy), static_cast<std::int64_t>(st.st_mtime) * 1000});
    if (auto saved = Save(*tokens); !saved)
        return Failure(saved.error());
    // Clients keep the token; only its plain copy goes.
    if (auto removed = RemoveFile(dir_, "token"); !removed)
        return Failure(removed.error());
    return true;
}

}  // namespace cv::service
