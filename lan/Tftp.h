#pragma once
// Asks a TFTP server for a file the way an endpoint will, and stops after
// the first data block: proof that the server runs, is reachable at that
// address and gives out that file, before an endpoint is told to fetch it.
#include <chrono>
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

}  // namespace cv::lan
