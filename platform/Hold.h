// Something the platform holds for the program until it is destroyed: a
// shutdown inhibitor, a drive's lock. Released in one place, its destructor,
// whichever way the work it guards ends.
#pragma once

#include <memory>

class PlatformHold {
public:
    virtual ~PlatformHold() = default;
    // Whether everything the hold asked for has been answered (taken or
    // refused). Safe to ask from any thread.
    virtual bool Answered() const { return true; }
};
using Hold = std::unique_ptr<PlatformHold>;

// The lock that keeps other processes off a drive while this one flashes it.
// DriveLockProblem gives the sentence for the answers that have one.
enum class DriveLockState {
    Taken,          // ours until the hold is destroyed
    TakenShared,    // ours as Taken, but the system goes on polling the drive for a disc meanwhile
                    // (this user cannot open it for writing alone): the flash goes on, and its
                    // front end says DriveLockProblem's line once
    HeldElsewhere,  // another process is writing to that drive
    Mounted,        // a disc in the drive is mounted: the flash must not start; the sentence names
                    // the mount point
    InUse,          // another program has the drive open for writing (a disc writer): the flash
                    // must not start
    Unavailable,    // nothing was asked for; nothing is held (the layer itself never answers it)
    Unsafe,         // no lock can be had that would keep others off the drive: the flash must not
                    // start (DriveLockProblem says why)
};
// Whether the drive is the caller's, whatever else the answer says.
inline bool DriveLockTaken(DriveLockState state) {
    return state == DriveLockState::Taken || state == DriveLockState::TakenShared;
}
