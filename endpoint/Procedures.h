#pragma once
// What is done to one endpoint across sessions and time, as decisions
// without I/O: settings with their read-back, a restart seen going down
// and coming back as the same endpoint, an upgrade. A driver asks Next()
// for an action, carries it out and feeds back what happened; a procedure
// never waits, sleeps, reads a file or touches a socket itself, so the same
// decisions hold whichever loop drives them, and a test can drive them
// with any outcome it likes.
#include "endpoint/Comeback.h"
#include "endpoint/Steps.h"
#include "lan/Tftp.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace cv::endpoint {

// What the operator is told, as it happens.
struct Message {
    enum class Kind { Progress, Failure };
    Kind kind = Kind::Progress;
    std::string address;  // the endpoint it is about
    std::string step;  // a failure's step
    std::string text;
};

struct Action {
    enum class Do {
        Open,  // connect and log in: the procedure's session, at `address`
        Run,  // `steps` on that session
        Close,  // drop the session; nothing to feed back
        Read,  // the detail query on a session of its own at `address`
        Lock,  // this workstation's lock on the endpoint `mac`, held until the end
        Pause,  // nothing until `until`; nothing to feed back
        WaitClosed,  // whether the endpoint closes the session within `within`
        TryLogin,  // whether a fresh login at `address` works, `within` each way
        Probe,  // whether `address` takes a connection within `within`
        Scan,  // discovery and the node list, quietly: every address listed
        ServerAddresses,  // this workstation's addresses the endpoint may reach it at, best last
        ReadableFile,  // whether `path` is a regular file this workstation can read
        FetchServed,  // the `file` the TFTP server at `address` serves, and `path`'s own digest
        Finished,
    };
    Do what = Do::Finished;
    std::string address;
    std::vector<Step> steps;
    Clock::time_point until{};
    std::chrono::milliseconds within{0};
    std::string mac, file, path;
    // To be told before the action is carried out (with Finished: at the end).
    std::vector<Message> told;
};

// What became of an action; each action fills its own fields.
struct Outcome {
    Result<> result;  // Open, Run, Read, Lock (busy: its error)
    std::size_t reached = 0;  // Run: the step it had reached
    const nodes::Transcript* transcript = nullptr;  // Run: the session's
    Details details;  // Read
    bool yes = false;  // WaitClosed, TryLogin, Probe, ReadableFile
    bool cancelled = false;  // Lock: a stop came while waiting for it
    std::vector<std::string> addresses;  // Scan, ServerAddresses
    lan::TftpFetchResult served;  // FetchServed
    std::optional<lan::FileDigest> local;  // FetchServed
};

class Procedure {
public:
    virtual ~Procedure() = default;
    // What to do now, with what is to be told first; Finished once done.
    Action Next(Clock::time_point now);
    virtual void Feed(const Outcome& outcome) = 0;
    // A stop was asked for: honoured at the last point that still leaves
    // the endpoint as it was, never halfway through a change.
    void Stop() { stopAsked_ = true; }

protected:
    virtual Action Decide(Clock::time_point now) = 0;
    void Progress(const std::string& address, std::string text);
    // Told, and returned for the result.
    StepError Failed(const std::string& address, StepError e);
    bool stopAsked() const { return stopAsked_; }
    // What a detail query at `at` read after a restart: an error, told,
    // unless it read the endpoint whose MAC was read before.
    std::optional<StepError> ReadAfterRestart(const Outcome& read, const std::string& address, const std::string& at,
                                              const std::string& mac);
    // The next action of a procedure within this one; what it tells is told
    // in turn with this one's own.
    Action NextOf(Procedure& inner, Clock::time_point now);

private:
    std::vector<Message> told_;
    bool stopAsked_ = false;
};

// The text of a wait that found another endpoint where ours should be.
std::string AnotherEndpoint(const std::string& mac, const std::string& address);

// After the restart line, or an update script that restarts: the session
// drops, or a fresh login stops working, so an endpoint that kept running
// never passes for one that came back; then it answers again. With a MAC
// read before, whatever answers is known by it: another MAC fails the wait
// unless the endpoint may have moved, when the fleet is searched.
class Restart final : public Procedure {
public:
    struct Plan {
        std::string address;  // where it was; reports are about it
        std::string comeBackAt;  // where it should answer
        std::string mac;  // empty: no identity to check
        bool mayMove = false;
        std::chrono::milliseconds timeout{std::chrono::seconds(120)};
    };
    Restart(Plan plan, Clock::time_point now);
    void Feed(const Outcome& outcome) override;

    std::optional<StepError> error;
    std::string address;  // where it answered again
    std::chrono::milliseconds downFor{0};

private:
    Action Decide(Clock::time_point now) override;
    std::chrono::milliseconds Left(Clock::time_point now) const;

    enum class Phase { Closing, LoggingIn, Down, Back, Done };
    Plan plan_;
    Clock::time_point start_, deadline_;
    Phase phase_ = Phase::Closing;
    bool loggedIn_ = false;
    Comeback comeback_;
    Comeback::Action waiting_{Comeback::Do::Probe, {}};
};

// --- settings ------------------------------------------------------------------

struct SetResult {
    std::string address;
    // Where it answered after a restart that moved it; empty if it did not move.
    std::string newAddress;
    std::vector<FieldResult> fields;
    std::optional<StepError> error;
    Kind kind = Kind::Unknown;  // as read before anything was sent
    // A stop was asked for before its settings went out: nothing changed.
    bool notStarted = false;
    bool ok() const;
};

// Read the endpoint, lock it, send the request's lines, read back what
// takes effect at once (after the channel has settled); with a restart,
// wait for the same endpoint to answer again and read back everything.
class Apply final : public Procedure {
public:
    struct Plan {
        std::string address;
        SetRequest request;
        std::chrono::milliseconds restartTimeout{std::chrono::seconds(120)};
    };
    explicit Apply(Plan plan);
    void Feed(const Outcome& outcome) override;
    const SetResult& result() const { return result_; }

private:
    Action Decide(Clock::time_point now) override;
    void ReportReadBack(bool afterRestart);

    enum class Phase { Open, Query, Lock, Send, Settle, ReadBack, Reboot, Restart, ReadAfter, Done };
    Plan plan_;
    SetResult result_;
    Phase phase_ = Phase::Open;
    std::string mac_, at_;
    std::optional<Restart> restart_;
};

// --- restarts --------------------------------------------------------------------

struct RestartResult {
    std::optional<StepError> error;
    bool notStarted = false;  // stopped before the reset or restart line
    std::string address;  // where it answered again
    std::chrono::milliseconds downFor{0};
};

// A reboot, or a reset to factory defaults, which may bring the endpoint
// back elsewhere: it is found again by its MAC.
class Reboot final : public Procedure {
public:
    struct Plan {
        std::string address;
        bool factoryDefault = false;
        std::string knownMac;  // read just before; else it is read here
        std::chrono::milliseconds restartTimeout{std::chrono::seconds(120)};
    };
    explicit Reboot(Plan plan);
    void Feed(const Outcome& outcome) override;
    const RestartResult& result() const { return result_; }

private:
    Action Decide(Clock::time_point now) override;

    enum class Phase { Open, ReadMac, Lock, Send, Restart, Done };
    Plan plan_;
    RestartResult result_;
    Phase phase_ = Phase::Open;
    std::string mac_;
    std::optional<Restart> restart_;
};

// --- upgrade -------------------------------------------------------------------------

struct UpgradeResult {
    Kind kind = Kind::Unknown;
    std::string file, server, versionBefore, versionAfter;
    std::optional<StepError> error;
    // Stopped before the update script: nothing was installed (error says
    // how far it got).
    bool notStarted = false;
    // Back with the version it had before, which was not expected (error
    // says so).
    bool unchanged = false;
};

// Check that the TFTP server gives out the very file under the root, have
// the endpoint fetch and install it, and read the version of the same
// endpoint once it is back.
class Upgrade final : public Procedure {
public:
    struct Plan {
        std::string address;
        std::string tftpRoot;
        // A version after equal to the one before is no failure.
        bool sameVersionOk = false;
        std::chrono::milliseconds upgradeTimeout{std::chrono::seconds(600)};
        std::chrono::milliseconds restartTimeout{std::chrono::seconds(120)};
    };
    explicit Upgrade(Plan plan);
    void Feed(const Outcome& outcome) override;
    const UpgradeResult& result() const { return result_; }

private:
    Action Decide(Clock::time_point now) override;
    std::string path() const { return plan_.tftpRoot + "/" + result_.file; }
    void Fail(StepError e);

    enum class Phase { Open, Query, Lock, Server, File, Served, Fetch, Install, Closing, Restart, ReadAfter, Done };
    Plan plan_;
    UpgradeResult result_;
    Phase phase_ = Phase::Open;
    std::string mac_, at_;
    std::optional<Restart> restart_;
};

}  // namespace cv::endpoint
