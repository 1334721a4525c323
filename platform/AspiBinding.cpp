// The binding of the ASPI manager library.
#include "platform/AspiBinding.h"

#include <dlfcn.h>

namespace qtlayer {

void AspiBinding::Bind() {
    std::call_once(bindOnce_, [this] {
        void *lib = dlopen("libwnaspi32.so.1", RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) return;
        auto info = reinterpret_cast<GetASPI32SupportInfoFn>(dlsym(lib, "GetASPI32SupportInfo"));
        auto send = reinterpret_cast<SendASPI32CommandFn>(dlsym(lib, "SendASPI32Command"));
        if (info == nullptr || send == nullptr) {
            dlclose(lib);
            return;
        }
        // The library stays loaded for the life of the process.
        supportInfo_ = info;
        sendCommand_ = send;
        holdDevice_ = reinterpret_cast<HoldASPI32DeviceFn>(dlsym(lib, "HoldASPI32Device"));
        holdDetail_ = reinterpret_cast<HoldASPI32DeviceDetailFn>(dlsym(lib, "HoldASPI32DeviceDetail"));
        transport_ = reinterpret_cast<GetASPI32DeviceTransportFn>(dlsym(lib, "GetASPI32DeviceTransport"));
    });
}

HoldASPI32DeviceFn AspiBinding::DeviceHold() {
    Bind();
    return holdDevice_;
}

HoldASPI32DeviceDetailFn AspiBinding::DeviceHoldDetail() {
    Bind();
    return holdDetail_;
}

uint32_t AspiBinding::DeviceTransport(uint8_t adapter, uint8_t target) {
    Bind();
    return transport_ != nullptr ? transport_(adapter, target) : TRANSPORT_UNKNOWN;
}

uint32_t AspiBinding::SupportInfo() {
    Bind();
    return supportInfo_ != nullptr ? supportInfo_() : 0;
}

uint32_t AspiBinding::SendCommand(void *srb) {
    Bind();
    if (sendCommand_ != nullptr) return sendCommand_(srb);
    if (srb != nullptr) SrbStatusStore(static_cast<SRB_ExecSCSICmd *>(srb), SS_NO_ADAPTERS);
    return SS_NO_ADAPTERS;
}

}  // namespace qtlayer
