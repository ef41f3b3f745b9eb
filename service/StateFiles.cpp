#include "service/StateFiles.h"

#include "lan/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cv::service {

namespace {
std::string Why(const std::string& what, int error) { return what + ": " + std::strerror(error); }

void SyncDirectory(const std::string& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
// What else the state directory holds, in words; empty when nothing.
std::string HeldState(const std::string& dir)
{
    struct stat st { };
    if (::stat((dir + "/token.new").c_str(), &st) == 0)
        return {};
    std::string out;
    if (::stat((dir + "/labels.json").c_str(), &st) == 0)
        out = "labels.json";
    if (const auto scenes = ListFiles(dir + "/scenes", ".json"); scenes && !scenes->empty())
        out += (out.empty() ? "" : " and ") + std::to_string(scenes->size()) + " scene(s)";
    return out;
}

}  // namespace

std::vector<std::string> RemoveStaleTemporaries(const std::string& dir)
{
    std::vector<std::string> removed;
    for (const std::string& at : {dir, dir + "/scenes"}) {
        DIR* d = ::opendir(at.c_str());
        if (!d)
            continue;
        std::vector<std::string> names;
        while (const dirent* e = ::readdir(d)) {
            // ".NAME.XXXXXX", as WriteFileAtomically makes them.
            const std::string_view name = e->d_name;
            if (name.size() > 8 && name[0] == '.' && name[name.size() - 7] == '.' && name != "." && name != "..")
                names.emplace_back(name);
        }
        ::closedir(d);
        for (const auto& name : names)
            if (::unlink((at + "/" + name).c_str()) == 0)
                removed.push_back(at + "/" + name);
        if (!names.empty())
            SyncDirectory(at);
    }
    return removed;
}

Result<void> MakeDirectories(const std::string& dir)
{
    for (std::size_t i = 1; i <= dir.size(); ++i) {
        if (i != dir.size() && dir[i] != '/')
            continue;
        const std::string part = dir.substr(0, i);
        if (::mkdir(part.c_str(), 0700) == 0)
            continue;
        struct stat st { };
        if (errno != EEXIST)
            return Failure(Why("cannot make " + part, errno));
        if (::stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return Failure(Why("cannot make " + part, ENOTDIR));
    }
    return {};
}

Result<void> WriteFileAtomically(const std::string& dir, const std::string& name, std::string_view bytes, unsigned mode)
{
    // The one writer the command line shares: temporary file, fsync, rename,
    // the directory flushed.
    if (auto failed = lan::WriteFileAtomically(dir, name, bytes, mode))
        return Failure(std::move(*failed));
    return {};
}

Result<std::optional<std::string>> ReadWholeFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::optional<std::string>{};
        return Failure(Why("cannot read " + path, errno));
    }
    std::string out;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return Failure(Why("cannot read " + path, error));
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return std::optional<std::string>{std::move(out)};
}

Result<void> RemoveFile(const std::string& dir, const std::string& name)
{
    const std::string path = dir + "/" + name;
    if (::unlink(path.c_str()) != 0)
        return Failure(Why("cannot remove " + path, errno));
    SyncDirectory(dir);
    return {};
}

Result<std::vector<std::string>> ListFiles(const std::string& dir, std::string_view suffix)
{
    std::vector<std::string> out;
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        if (errno == ENOENT)
            return out;
        return Failure(Why("cannot list " + dir, errno));
    }
    while (const dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        // Temporary files of an interrupted write start with a dot.
        if (name.empty() || name[0] == '.' || name.size() <= suffix.size() ||
            name.substr(name.size() - suffix.size()) != suffix)
            continue;
        out.emplace_back(name.substr(0, name.size() - suffix.size()));
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

Result<std::string> NewSecret()
{
    unsigned char raw[32];
    std::size_t got = 0;
    while (got < sizeof raw) {
        const ssize_t n = ::getrandom(raw + got, sizeof raw - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Failure(Why("no random source", errno));
        got += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char c : raw) {
        token += digits[c >> 4];
        token += digits[c & 15];
    }
    return token;
}

Result<std::string> LoadOrCreateToken(const std::string& dir)
{
    const std::string path = dir + "/token";
    auto existing = ReadWholeFile(path);
    if (!existing)
        return Failure(existing.error());
    if (*existing) {
        struct stat st { };
        if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
            return Failure(path +
                           " can be read by others than its owner; the token in it must be replaced: "
                           "remove the file and restart the service (it makes a new one, mode 0600), "
                           "then give the new token to every client");
        std::string_view token = **existing;
        while (!token.empty() && (token.back() == '\n' || token.back() == '\r'))
            token.remove_suffix(1);
        if (token.size() < 32)
            return Failure(path + " holds no usable token (at least 32 characters)");
        return Result<std::string>(tl::in_place, token);
    }
    // Clients already hold the token that went: a new one would break
    // every integration without a word.
    if (const auto others = HeldState(dir); !others.empty())
        return Failure(path + " is missing while the state directory holds " + others +
                       "; the clients' token is gone. Put the token back (mode 0600), or make a new one on "
                       "purpose: `touch " +
                       dir + "/token.new` and restart");
    if (::unlink((dir + "/token.new").c_str()) == 0)
        SyncDirectory(dir);
    auto made = NewSecret();
    if (!made)
        return made;
    const std::string token = *made;
    if (auto made = MakeDirectories(dir); !made)
        return Failure(made.error());
    if (auto written = WriteFileAtomically(dir, "token", token + "\n", 0600); !written)
        return Failure(written.error());
    return token;
}

bool SameSecret(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace cv::service
