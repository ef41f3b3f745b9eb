#include "lan/PortOwners.h"

#include <dirent.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace cv::lan {

namespace {

std::string_view NextField(std::string_view& line)
{
    const auto start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const auto end = std::min(line.find(' '), line.size());
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end);
    return field;
}

template <typename T>
bool Number(std::string_view text, T& out, int base)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string Slurp(const char* path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::vector<UdpSocket> ParseUdpTable(std::string_view text)
{
    // "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when
    //  retrnsmt   uid  timeout inode ..."; the address is hex, then ':' and
    // the port in hex.
    std::vector<UdpSocket> out;
    while (!text.empty()) {
        const auto eol = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(std::min(eol + 1, text.size()));
        std::string_view fields[10];
        for (auto& f : fields)
            f = NextField(line);
        const std::string_view local = fields[1];
        const auto colon = local.rfind(':');
        UdpSocket s;
        unsigned long inode = 0;
        if (fields[0].empty() || fields[0].back() != ':' || colon == std::string_view::npos ||
            !Number(local.substr(colon + 1), s.port, 16) || !Number(fields[9], inode, 10))
            continue;
        s.inode = static_cast<ino_t>(inode);
        out.push_back(s);
    }
    return out;
}

std::vector<UdpSocket> UdpSocketsOnPort(unsigned short port)
{
    std::vector<UdpSocket> out;
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"})
        for (const UdpSocket& s : ParseUdpTable(Slurp(table)))
            if (s.port == port)
                out.push_back(s);
    return out;
}

pid_t SocketOwner(ino_t inode)
{
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return 0;
    pid_t found = 0;
    while (const dirent* process = ::readdir(proc)) {
        pid_t pid = 0;
        if (!Number(std::string_view(process->d_name), pid, 10))
            continue;
        const std::string fds = "/proc/" + std::string(process->d_name) + "/fd";
        DIR* dir = ::opendir(fds.c_str());
        if (!dir)
            continue;
        while (const dirent* fd = ::readdir(dir)) {
            char target[64] = {};
            const std::string link = fds + "/" + fd->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && wanted == std::string_view(target, static_cast<std::size_t>(n))) {
                found = pid;
                break;
            }
        }
        ::closedir(dir);
        if (found)
            break;
    }
    ::closedir(proc);
    return found;
}

}  // namespace cv::lan
