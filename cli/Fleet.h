#pragma once
// What the subcommands do to one endpoint: the
// detail query, settings with read-back, restarts with the wait for the
// endpoint to answer again, upgrade, wall and on-screen lines. Each step
// that fails is named, so a report can say where it stopped.
#include "cli/Reporter.h"
#include "cli/Session.h"
#include "nodes/DeviceDetails.h"
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
    unsigned short port = 24;
    unsigned jobs = 16;
    // How long an endpoint may take to answer again after a restart.
    std::chrono::milliseconds restartTimeout{std::chrono::seconds(120)};
    // How long an upgrade's fetch and update script may stay silent.
    std::chrono::milliseconds upgradeTimeout{std::chrono::seconds(600)};
    std::vector<std::string> interfaces;
    Reporter* reporter = nullptr;
};

// A failed step: "connect", "login", "read", "hostname", ... and why.
struct StepError {
    std::string step;
    std::string detail;
    std::string text() const { return step + ": " + detail; }
};

// --- scan -----------------------------------------------------------------

struct ScanResult {
    std::string responder;
    std::vector<std::string> sentOn;
    nodes::NodeList nodes;
};
// Discovery as the window does it, then the node list of the last
// responder. Returns the error, or nullopt on success; usage is set when
// the error is the operator's (a card that does not exist).
std::optional<StepError> Scan(const Context& ctx, ScanResult& out, bool* usage = nullptr);

// --- detail query -----------------------------------------------------------

struct Details {
    nodes::DeviceDetails values;
    std::string kind;  // "tx", "rx", or empty when the dump does not say
};
// The window's three query lines on an open session.
std::optional<StepError> QueryDetails(ShellSession& session, Details& out);
// Opens a session, queries, closes.
std::optional<StepError> ReadDetails(const Context& ctx, const std::string& address, Details& out);

// --- settings ---------------------------------------------------------------

struct SetRequest {
    std::optional<std::string> hostnameId;
    std::optional<bool> multicast;
    std::optional<std::string> channel;
    std::optional<std::string> ipMode;  // "autoip", "dhcp", "static"
    std::string ipaddr, netmask, gateway;
    bool reboot = false;
    bool empty() const { return !hostnameId && !multicast && !channel && !ipMode; }
};
// Checks values as the window does before anything is sent; the error names
// the field.
std::optional<std::string> ValidateRequest(const SetRequest& request);
// The lines Apply sends for the request, groups in the window's order.
std::vector<nodes::WireLine> RequestLines(const SetRequest& request);

struct FieldResult {
    std::string field;
    std::string requested;
    std::string readBack;
    std::string status;  // "confirmed", "pending", "mismatch", "not sent"
};
struct SetResult {
    std::string address;
    std::vector<FieldResult> fields;
    std::optional<StepError> error;
    bool ok() const;
};
SetResult ApplySettings(const Context& ctx, const std::string& address, const SetRequest& request);

// --- restarts -------------------------------------------------------------------

struct RestartResult {
    std::optional<StepError> error;
    std::chrono::milliseconds downFor{0};
};
// After the reboot line: the session drops, then a fresh login works again.
RestartResult WaitForRestart(const Context& ctx, ShellSession& session, const std::string& comeBackAt);
RestartResult Reboot(const Context& ctx, const std::string& address, bool factoryDefault);

// --- upgrade ----------------------------------------------------------------------

struct UpgradeResult {
    std::string kind, file, server, versionBefore, versionAfter;
    std::optional<StepError> error;
};
UpgradeResult Upgrade(const Context& ctx, const std::string& address, const std::string& tftpRoot);

// --- lines to receivers --------------------------------------------------------------

// Opens a session, sends the lines one by one, waiting for each.
std::optional<StepError> SendLines(const Context& ctx, const std::string& address,
                                   const std::vector<nodes::WireLine>& lines, std::size_t buffer,
                                   const std::string& step);

// Lines with different buffers (the enable line and the short wall lines)
// on one session.
struct BufferedLine {
    nodes::WireLine line;
    std::size_t buffer = nodes::kLineBuffer;
};
std::optional<StepError> SendLines(const Context& ctx, const std::string& address,
                                   const std::vector<BufferedLine>& lines, const std::string& step);

}  // namespace cv::cli
