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
enum class DriveLockState {
    Taken,          // ours until the hold is destroyed
    HeldElsewhere,  // another process is writing to that drive
    Unavailable,    // nothing was asked for; nothing is held (the layer itself never answers it)
    Unsafe,         // no lock can be had that would keep others off the drive: the flash must not
                    // start (DriveLockProblem says why)
};
