// The manager library's entry points, the only symbols it exports: the two
// of ASPI and the hold of a device.
#include <cstdint>

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
