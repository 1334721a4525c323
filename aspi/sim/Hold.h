// The hold of a simulated device (HoldASPI32Device): a BSD lock of the
// machine's own, on a file beside the machine file for each device, so that
// two programs on one simulated machine keep each other off a drive, as two
// programs on one real machine do, and two machines (two checkouts' test
// suites) never meet.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace quorvel_sim {

// The lock file of device (adapter, target) of the machine whose file's real
// path is `machinePath`: "MACHINE.A-T.lock" beside it.
std::string HoldLockPath(const std::string &machinePath, int adapter, int target);

// One device's hold, from any thread: the lock file, open and locked while
// held, let go when released or destroyed (or with the process).
class DeviceHold {
public:
    DeviceHold() = default;
    ~DeviceHold();
    DeviceHold(const DeviceHold &) = delete;
    DeviceHold &operator=(const DeviceHold &) = delete;

    // HOLD_HELD; HOLD_BUSY when another holder (another process, or another
    // take of this one) has it; HOLD_CANNOT with `why` said when the file
    // cannot be opened or locked otherwise.
    uint32_t Take(const std::string &path, std::string *why);
    uint32_t Release();  // HOLD_RELEASED, held or not

private:
    std::mutex mutex_;
    int fd_ = -1;
};

}  // namespace quorvel_sim
