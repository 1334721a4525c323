// The manager library's two entry points, the only symbols it exports.
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
