#pragma once
// What one client may hold of cortaviad, and for how long. Each value is
// sized so that a venue's legitimate clients never meet it and a careless
// or hostile one is dropped long before the fleet feels it.
#include <chrono>
#include <cstddef>

namespace cv::service::limits {

using std::chrono::milliseconds;

// A request head (request line and headers): a browser sends about 1 KiB,
// a token adds 70 bytes. More is refused with 431.
inline constexpr std::size_t kMaxHead = 16 * 1024;
// A body: the largest real one (a scene for 1,000 receivers) is ~60 KiB.
inline constexpr std::size_t kMaxBody = 64 * 1024;

// The head must be complete this long after the connection was accepted
// (a slow-loris client holds nothing longer), the body this long after
// the head; a TLS handshake counts towards the head.
inline constexpr milliseconds kHeadDeadline{10000};
inline constexpr milliseconds kBodyDeadline{10000};
// A refused request: the answer is sent, then what the client still sends
// is read and dropped this long (so that it reads the answer instead of a
// reset), at most kLingerBytes. Dropping is cheap and keeps nothing; a
// client that sends fast must still get the time to read its answer, or
// the close with its bytes unread resets the connection and the answer
// with it.
inline constexpr milliseconds kLinger{1000};
inline constexpr std::size_t kLingerBytes = 64u << 20;
// An answer the client does not read: the connection goes after this.
inline constexpr milliseconds kWriteDeadline{30000};

// Line protocol: a connection that has not authenticated (or, without a
// token, has not sent a command) is closed after this much silence; any
// other after kLineIdle (an empty line keeps it open).
inline constexpr milliseconds kLineFirstIdle{10000};
inline constexpr milliseconds kLineIdle{15 * 60 * 1000};
// Lines answered with an error before authentication: more is not a
// control system that lost its token, it is noise.
inline constexpr std::size_t kMaxLinesBeforeAuth = 16;
// Bytes read from one line connection at a time.
inline constexpr std::size_t kLineReadBuffer = 64 * 1024;

// Connections: a browser opens at most 6 at once plus its event stream, a
// control system one or two; a reverse proxy counts as one peer for all
// its clients, hence the wide per-peer bound.
inline constexpr std::size_t kMaxHttpConnections = 512;
inline constexpr std::size_t kMaxHttpPerPeer = 128;
inline constexpr std::size_t kMaxLineConnections = 128;
inline constexpr std::size_t kMaxLinePerPeer = 16;

// Descriptors kept for discovery and endpoint sessions: one session per
// receiver at most, 1,000 receivers in a large venue, and the state files
// and discovery sockets. Below a quarter of the limit when the limit is
// smaller than what that needs.
inline constexpr std::size_t kFleetReserve = 1100;
// What the service asks of the kernel at start (the unit's LimitNOFILE):
// every client bound above, plus the fleet's reserve, with room to spare.
inline constexpr std::size_t kWantedDescriptors = 8192;

// Every deadline above, scaled for tests by CORTAVIAD_TEST_DEADLINE_SCALE
// (a factor, e.g. 0.1); never set in production.
milliseconds Scaled(milliseconds deadline);

}  // namespace cv::service::limits
