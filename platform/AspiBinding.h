// Inside the platform layer: the binding of the ASPI manager library
// (libwnaspi32.so.1), found by the dynamic linker's own search.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/wnaspi32.h"

namespace qtlayer {

// Binds the manager on first use, from any thread. Without a manager, or with
// one that lacks an entry point, it reads as 0 adapters and completes every
// request at once with SS_NO_ADAPTERS.
class AspiBinding {
public:
    uint32_t SupportInfo();
    uint32_t SendCommand(void *srb);

private:
    void Bind();

    std::once_flag bindOnce_;
    GetASPI32SupportInfoFn supportInfo_ = nullptr;
    SendASPI32CommandFn sendCommand_ = nullptr;
};

}  // namespace qtlayer
