// Program side of the ASPI manager: the two calls, made through the manager
// that the platform layer has bound (libwnaspi32.so.1, found by the dynamic
// linker). With no manager bound, GetASPI32SupportInfo reads as 0 adapters and
// SendASPI32Command completes every request at once with SS_NO_ADAPTERS.
// The names live in their own namespace so that they never meet the
// manager's exported C symbols of the same name.
#pragma once

#include "platform/wnaspi32.h"

namespace aspi {
uint32_t GetASPI32SupportInfo();
uint32_t SendASPI32Command(void *srb);
// The manager's optional GetASPI32DeviceTransport; TRANSPORT_UNKNOWN without it.
uint32_t GetASPI32DeviceTransport(uint8_t adapter, uint8_t target);
}  // namespace aspi
