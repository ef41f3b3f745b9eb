#pragma once
// Pieces shared by the drop, the quick layout and the on-screen numbers.
#include "net/MainWindow.h"

#include <QString>
#include <cstdint>

namespace wall_detail {

// Close, create, connect to port 24, 20 ms for the connection to come up,
// then the login line (its result is never looked at).
void OpenLoggedInSession(CMyAsyncSocket& socket, const QString& address);

// The slot a receiver in RX row `row` is addressed on: its own up to row 9,
// then slot 0, which each later receiver takes over from the one before.
inline int SlotForRow(int row) { return row <= 9 ? row : 0; }

// Selected indices of the two monitor-count combos.
struct WallSize {
    uint32_t vi = 0;
    uint32_t hi = 0;
    bool single() const { return vi == 0 && hi == 0; }
};
WallSize ReadWallSize(IMainWindow& window);

bool AnyBezelZero(const DialogMembers& m);

// What a drop and the quick layout do first: stop watching for upgrade
// failures, take the numbers now in the bezel edits, start a new transcript.
// False, after the message, when a bezel edit holds no number or one out of
// range: nothing may be sent with the values it would leave.
bool PrepareWallCommand(IMainWindow& window);

void ShowApplyFail(IMainWindow& window);

// A wall whose tiles come out empty or reversed is refused with a message;
// true when the wall can be sent.
bool WallTilesSoundOrSay(IMainWindow& window, const WallSize& wall);

}  // namespace wall_detail
