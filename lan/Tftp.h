#pragma once
// Asks a TFTP server for a file the way an endpoint will, and stops after
// the first data block: proof that the server runs, is reachable at that
// address and gives out that file, before an endpoint is told to fetch it.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cv::lan {

enum class TftpProbeStatus {
    Served,  // the first data block arrived
    FileNotFound,  // TFTP error 1
    AccessViolation,  // TFTP error 2
    OtherError,  // any other TFTP error packet
    NoAnswer,  // nothing within the time-out (or the port is closed)
    LocalFailure,  // no socket, or the address is not IPv4
};

struct TftpProbeResult {
    TftpProbeStatus status = TftpProbeStatus::NoAnswer;
    std::string message;  // the server's error text, or the local error
    std::chrono::milliseconds elapsed{0};
    bool ok() const { return status == TftpProbeStatus::Served; }
};

// What one datagram from the server says about our read request: Served,
// a refusal with its text, or nullopt when it is no answer to it (a later
// block, an acknowledgement, a runt).
std::optional<TftpProbeResult> ReadTftpReply(std::string_view datagram);

TftpProbeResult ProbeTftp(const std::string& serverAddress, const std::string& file,
                          std::chrono::milliseconds timeout = std::chrono::seconds(2), unsigned short port = 69);

// The size and checksum (64-bit FNV-1a) of a file, to tell whether the file
// a server gives out is the one meant.
struct FileDigest {
    std::uint64_t size = 0;
    std::uint64_t checksum = 0xcbf29ce484222325ull;
    void Add(std::string_view bytes);
    bool operator==(const FileDigest&) const = default;
};
// A local file's digest; nullopt when it cannot be read.
std::optional<FileDigest> DigestOfFile(const std::string& path);

// Fetches the whole file from the server, as an endpoint would, keeping only
// its digest. A refusal, silence or a file past maxBytes is a failure (the
// probe's status and message say which).
struct TftpFetchResult {
    TftpProbeResult probe;
    std::optional<FileDigest> digest;  // set when the whole file arrived
};
TftpFetchResult FetchTftpDigest(const std::string& serverAddress, const std::string& file,
                                std::chrono::milliseconds timeout = std::chrono::seconds(2),
                                std::uint64_t maxBytes = std::uint64_t{256} << 20, unsigned short port = 69);

}  // namespace cv::lan
