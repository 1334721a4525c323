// The manager library's entry points, the only symbols it exports: the two
// of ASPI, the hold of a device and what goes with its answer, and the
// device's transport.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "aspi/sg/SgManager.h"

namespace {
sgaspi::SgManager &Manager() {
    // Never destroyed: a detached thread of the program may still be inside
    // a command while the process ends, and its node must stay open.
    static sgaspi::SgManager *manager = new sgaspi::SgManager(sgaspi::RealSgSystem());
    return *manager;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) uint32_t GetASPI32SupportInfo(void) {
    return Manager().SupportInfo();
}

extern "C" __attribute__((visibility("default"))) uint32_t SendASPI32Command(void *srb) {
    return Manager().Send(srb);
}

extern "C" __attribute__((visibility("default"))) uint32_t HoldASPI32Device(uint8_t adapter, uint8_t target,
                                                                            uint32_t request) {
    return Manager().Hold(adapter, target, request);
}

extern "C" __attribute__((visibility("default"))) uint32_t HoldASPI32DeviceDetail(uint8_t adapter, uint8_t target,
                                                                                  char *text, uint32_t size) {
    const std::string detail = Manager().HoldDetail(adapter, target);
    if (text != nullptr && size > 0) {
        const size_t copied = std::min<size_t>(detail.size(), size - 1);
        std::memcpy(text, detail.data(), copied);
        text[copied] = '\0';
    }
    return static_cast<uint32_t>(std::min<size_t>(detail.size(), UINT32_MAX));
}

extern "C" __attribute__((visibility("default"))) uint32_t GetASPI32DeviceTransport(uint8_t adapter,
                                                                                    uint8_t target) {
    return Manager().Transport(adapter, target);
}
