// Inside the platform layer: the binding of the ASPI manager library
// (libwnaspi32.so.1), found by the dynamic linker's own search.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/wnaspi32.h"

namespace qtlayer {

// Binds the manager on first use, from any thread. Without a manager, or with
// one that lacks one of the two ASPI entry points, it reads as 0 adapters and
// completes every request at once with SS_NO_ADAPTERS.
class AspiBinding {
public:
    uint32_t SupportInfo();
    uint32_t SendCommand(void *srb);
    // The manager's optional HoldASPI32Device; null when it has none (or
    // there is no manager): the program then guards the drive itself.
    HoldASPI32DeviceFn DeviceHold();
    // The manager's optional HoldASPI32DeviceDetail; null when it has none.
    HoldASPI32DeviceDetailFn DeviceHoldDetail();
    // The device's transport (GetASPI32DeviceTransport); TRANSPORT_UNKNOWN
    // when the manager cannot tell.
    uint32_t DeviceTransport(uint8_t adapter, uint8_t target);

private:
    void Bind();

    std::once_flag bindOnce_;
    GetASPI32SupportInfoFn supportInfo_ = nullptr;
    SendASPI32CommandFn sendCommand_ = nullptr;
    HoldASPI32DeviceFn holdDevice_ = nullptr;
    HoldASPI32DeviceDetailFn holdDetail_ = nullptr;
    GetASPI32DeviceTransportFn transport_ = nullptr;
};

}  // namespace qtlayer
