#include "lan/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cv::lan {

namespace {
std::string Why(const std::string& what, int error) { return what + ": " + std::strerror(error); }

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void SyncDirectory(const std::string& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
}  // namespace

std::optional<std::string> WriteFileAtomically(const std::string& dir, const std::string& name, std::string_view bytes,
                                               unsigned mode)
{
    std::string temp = dir + "/." + name + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return Why("cannot write in " + dir, errno);
    const auto fail = [&](const std::string& what) {
        const int error = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return Why(what, error);
    };
    if (::fchmod(fd, mode) != 0)
        return fail("cannot set the mode of " + temp);
    if (!WriteAll(fd, bytes))
        return fail("cannot write " + temp);
    if (::fsync(fd) != 0)
        return fail("cannot flush " + temp);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return Why("cannot write " + temp, error);
    }
    const std::string path = dir + "/" + name;
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return Why("cannot replace " + path, error);
    }
    SyncDirectory(dir);
    return std::nullopt;
}

std::optional<std::string> WriteFileAtomically(const std::string& path, std::string_view bytes, unsigned mode)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return WriteFileAtomically(".", path, bytes, mode);
    return WriteFileAtomically(slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1), bytes, mode);
}

}  // namespace cv::lan
