#pragma once
// What the subcommands do to one endpoint: the scan, the detail query, and
// lines to receivers on a session of their own; settings, restarts and
// upgrades as endpoint/ decides them, carried out here. Each step that
// fails is named, so a report can say where it stopped.
#include "cli/Reporter.h"
#include "cli/Driver.h"
#include "endpoint/Procedures.h"
#include "endpoint/Steps.h"
#include "nodes/DeviceDetails.h"
#include "nodes/Firmware.h"
#include "nodes/NodeList.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

namespace cv::cli {

struct Context {
    Timeouts timeouts;
    unsigned short port = nodes::kShellPort;
    unsigned jobs = 16;
    // How long an endpoint may take to answer again after a restart.
    std::chrono::milliseconds restartTimeout{std::chrono::seconds(120)};
    // How long an upgrade's fetch and update script may stay silent.
    std::chrono::milliseconds upgradeTimeout{std::chrono::seconds(600)};
    std::vector<std::string> interfaces;
    Reporter* reporter = nullptr;
    // Another run changing an endpoint: refuse at once instead of waiting.
    bool noWait = false;
    // How long to wait for it at most.
    std::chrono::milliseconds lockPatience{std::chrono::minutes(15)};
};

using endpoint::BufferedLine;
using endpoint::Details;
using endpoint::FieldResult;
using endpoint::FieldStatus;
using endpoint::Kind;
using endpoint::Narrow;
using endpoint::RequestLines;
using endpoint::Seconds;
using endpoint::SetRequest;
using endpoint::StepError;
using endpoint::ValidateRequest;
using endpoint::Widen;

// --- scan -----------------------------------------------------------------

struct ScanResult {
    std::string responder;
    std::vector<std::string> sentOn;
    nodes::NodeList nodes;
};
// Discovery as the window does it, then the node list of the last
// responder; usage is set when the error is the operator's (a card that
// does not exist).
endpoint::Result<> Scan(const Context& ctx, ScanResult& out, bool* usage = nullptr);

// --- detail query -----------------------------------------------------------

// The window's three query lines on an open session.
endpoint::Result<> QueryDetails(ShellDriver& session, Details& out);
// Opens a session, queries, closes.
endpoint::Result<> ReadDetails(const Context& ctx, const std::string& address, Details& out);

// --- what spans sessions and time ----------------------------------------------
// Each drives its procedure of endpoint/ on this thread to its end.

using endpoint::RestartResult;
using endpoint::SetResult;
using endpoint::UpgradeResult;

SetResult ApplySettings(const Context& ctx, const std::string& address, const SetRequest& request);
// knownMac: the MAC read just before, so it is not read again.
RestartResult Reboot(const Context& ctx, const std::string& address, bool factoryDefault,
                     const std::string& knownMac = {});
// sameVersionOk: a version after equal to the one before is no failure.
UpgradeResult Upgrade(const Context& ctx, const std::string& address, const std::string& tftpRoot,
                      bool sameVersionOk = false);

// --- lines to receivers --------------------------------------------------------------

// Opens a session, sends the lines one by one, waiting for each.
endpoint::Result<> SendLines(const Context& ctx, const std::string& address, const std::vector<nodes::WireLine>& lines,
                             std::size_t buffer, const std::string& step);
// Lines with different buffers (the enable line and the short wall lines)
// on one session.
endpoint::Result<> SendLines(const Context& ctx, const std::string& address, const std::vector<BufferedLine>& lines,
                             const std::string& step);

}  // namespace cv::cli
