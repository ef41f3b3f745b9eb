#include "lan/Tftp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace cv::lan {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kRead = 1;
constexpr std::uint16_t kData = 3;
constexpr std::uint16_t kError = 5;
constexpr std::uint16_t kErrorFileNotFound = 1;
constexpr std::uint16_t kErrorAccessViolation = 2;
constexpr std::size_t kPacketBuffer = 4 + 512 + 1;

std::uint16_t Word(const unsigned char* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

void PutWord(std::string& out, std::uint16_t value)
{
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value & 0xFF));
}

std::string ReadRequest(const std::string& file)
{
    std::string packet;
    PutWord(packet, kRead);
    packet += file;
    packet.push_back('\0');
    packet += "octet";
    packet.push_back('\0');
    return packet;
}

// Tells the server to drop the transfer it has just started for us, so no
// retransmissions of block 1 follow the probe around.
void Abandon(int fd, const sockaddr_in& server)
{
    std::string packet;
    PutWord(packet, kError);
    PutWord(packet, 0);
    packet += "probe done";
    packet.push_back('\0');
    ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
}

// One datagram that arrives before the deadline: its size, or -1 when none
// came (or the socket failed).
ssize_t ReceiveBefore(int fd, Clock::time_point deadline, unsigned char (&packet)[kPacketBuffer], sockaddr_in& from)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return -1;
        pollfd watch{fd, POLLIN, 0};
        const int ready = ::poll(&watch, 1, static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        return n < 0 ? -1 : n;
    }
}

TftpProbeResult Finish(TftpProbeResult result, Clock::time_point start)
{
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return result;
}

}  // namespace

std::optional<TftpProbeResult> ReadTftpReply(std::string_view datagram)
{
    if (datagram.size() < 4)
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const unsigned char*>(datagram.data());
    const std::uint16_t opcode = Word(bytes);
    TftpProbeResult result;
    if (opcode == kData && Word(bytes + 2) == 1) {
        result.status = TftpProbeStatus::Served;
        return result;
    }
    if (opcode != kError)
        return std::nullopt;
    const std::uint16_t code = Word(bytes + 2);
    result.status = code == kErrorFileNotFound ? TftpProbeStatus::FileNotFound
        : code == kErrorAccessViolation        ? TftpProbeStatus::AccessViolation
                                               : TftpProbeStatus::OtherError;
    // The text ends at its zero, or at the datagram's end if it has none.
    const std::string_view text = datagram.substr(4);
    result.message = std::string(text.substr(0, text.find('\0')));
    return result;
}

TftpProbeResult ProbeTftp(const std::string& serverAddress, const std::string& file, std::chrono::milliseconds timeout,
                          unsigned short port)
{
    const Clock::time_point start = Clock::now();
    TftpProbeResult result;

    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    if (::inet_pton(AF_INET, serverAddress.c_str(), &server.sin_addr) != 1) {
        result.status = TftpProbeStatus::LocalFailure;
        result.message = "no IPv4 address for the TFTP server";
        return Finish(std::move(result), start);
    }

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        result.status = TftpProbeStatus::LocalFailure;
        result.message = std::strerror(errno);
        return Finish(std::move(result), start);
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    const std::string request = ReadRequest(file);
    if (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server) < 0) {
        result.status = TftpProbeStatus::NoAnswer;
        result.message = std::strerror(errno);
        return Finish(std::move(result), start);
    }

    const Clock::time_point deadline = start + timeout;
    unsigned char packet[kPacketBuffer];
    for (;;) {
        sockaddr_in from{};
        const ssize_t n = ReceiveBefore(fd, deadline, packet, from);
        if (n < 0)
            break;
        // The server answers from a port of its own, but always from the
        // address we asked; anything else is somebody else's datagram.
        if (n < 4 || from.sin_addr.s_addr != server.sin_addr.s_addr)
            continue;
        std::optional<TftpProbeResult> reply =
            ReadTftpReply(std::string_view(reinterpret_cast<const char*>(packet), static_cast<std::size_t>(n)));
        if (!reply)
            continue;
        if (reply->ok())
            Abandon(fd, from);
        return Finish(std::move(*reply), start);
    }
    result.status = TftpProbeStatus::NoAnswer;
    result.message = "no answer";
    return Finish(std::move(result), start);
}

void FileDigest::Add(std::string_view bytes)
{
    size += bytes.size();
    for (const char c : bytes) {
        checksum ^= static_cast<unsigned char>(c);
        checksum *= 0x100000001b3ull;
    }
}

std::optional<FileDigest> DigestOfFile(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return std::nullopt;
    FileDigest d;
    char buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        d.Add(std::string_view(buffer, n));
    const bool failed = std::ferror(f);
    std::fclose(f);
    if (failed)
        return std::nullopt;
    return d;
}

TftpFetchResult FetchTftpDigest(const std::string& serverAddress, const std::string& file,
                                std::chrono::milliseconds timeout, std::uint64_t maxBytes, unsigned short port)
{
    const Clock::time_point start = Clock::now();
    TftpFetchResult out;
    const auto fail = [&](TftpProbeStatus status, std::string message) {
        out.probe.status = status;
        out.probe.message = std::move(message);
        out.probe = Finish(std::move(out.probe), start);
        out.digest.reset();
        return out;
    };
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    if (::inet_pton(AF_INET, serverAddress.c_str(), &server.sin_addr) != 1)
        return fail(TftpProbeStatus::LocalFailure, "no IPv4 address for the TFTP server");
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(TftpProbeStatus::LocalFailure, std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    // Each packet (the request, then each acknowledgement) is sent again
    // when the next block is late, as a TFTP client does.
    std::string last = ReadRequest(file);
    sockaddr_in peer = server;
    bool transfer = false;  // the server's transfer port is known
    std::uint16_t expected = 1;
    FileDigest digest;
    unsigned char packet[kPacketBuffer];
    for (int tries = 0;;) {
        if (::sendto(fd, last.data(), last.size(), 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer) < 0)
            return fail(TftpProbeStatus::NoAnswer, std::strerror(errno));
        const Clock::time_point deadline = Clock::now() + timeout;
        bool advanced = false;
        while (!advanced) {
            sockaddr_in from{};
            const ssize_t n = ReceiveBefore(fd, deadline, packet, from);
            if (n < 0)
                break;
            if (n < 4 || from.sin_addr.s_addr != server.sin_addr.s_addr || (transfer && from.sin_port != peer.sin_port))
                continue;
            const std::uint16_t opcode = Word(packet);
            if (opcode == kError) {
                auto reply = ReadTftpReply(std::string_view(reinterpret_cast<const char*>(packet), std::size_t(n)));
                out.probe = Finish(std::move(*reply), start);
                return out;
            }
            if (opcode != kData || Word(packet + 2) != expected)
                continue;  // a repeat of a block already counted
            if (!transfer) {
                peer = from;
                transfer = true;
            }
            const std::size_t bytes = static_cast<std::size_t>(n) - 4;
            digest.Add(std::string_view(reinterpret_cast<const char*>(packet + 4), bytes));
            last.clear();
            PutWord(last, 4);  // acknowledgement
            PutWord(last, expected);
            if (bytes < 512) {
                ::sendto(fd, last.data(), last.size(), 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
                out.probe.status = TftpProbeStatus::Served;
                out.probe = Finish(std::move(out.probe), start);
                out.digest = digest;
                return out;
            }
            if (digest.size > maxBytes) {
                Abandon(fd, peer);
                return fail(TftpProbeStatus::OtherError,
                            "the file is larger than " + std::to_string(maxBytes) + " bytes");
            }
            ++expected;
            advanced = true;
            tries = 0;
        }
        if (!advanced && ++tries >= 3)
            return fail(TftpProbeStatus::NoAnswer, transfer ? "the transfer stopped" : "no answer");
    }
}

}  // namespace cv::lan
