#include "tests/support/FakeAspi.h"

#include <chrono>
#include <cstring>

FakeAspi::FakeAspi(RecorderLayer &layer) : layer_(layer) {
    layer_.supportInfo = [this] {
        std::lock_guard lock(mutex_);
        return supportInfo_;
    };
    layer_.sendCommand = [this](void *srb) { return Send(srb); };
}

FakeAspi::~FakeAspi() {
    OpenGate();
    for (auto &t : completions_) t.join();
    layer_.supportInfo = nullptr;
    layer_.sendCommand = nullptr;
}

void FakeAspi::SetAdapters(int adapters, uint8_t status) {
    std::lock_guard lock(mutex_);
    supportInfo_ = (uint32_t{status} << 8) | static_cast<uint32_t>(adapters & 0xFF);
}

void FakeAspi::AddDevice(int adapter, int target, uint8_t byte0, const std::string &identification) {
    std::array<uint8_t, 36> answer{};
    answer[0] = byte0;
    answer[2] = 0x05;
    answer[3] = 0x02;
    answer[4] = 31;
    std::memcpy(answer.data() + 8, identification.data(), std::min<size_t>(identification.size(), 28));
    std::lock_guard lock(mutex_);
    devices_[{adapter, target}] = answer;
}

void FakeAspi::CloseGate() {
    std::lock_guard lock(mutex_);
    gateOpen_ = false;
}

void FakeAspi::OpenGate() {
    {
        std::lock_guard lock(mutex_);
        gateOpen_ = true;
    }
    gateChanged_.notify_all();
}

std::vector<FakeRequest> FakeAspi::Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
}

size_t FakeAspi::RequestCount() {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

uint8_t FakeAspi::DefaultStatus(SRB_ExecSCSICmd *srb) {
    const int adapters = static_cast<int>(supportInfo_ & 0xFF);
    if (srb->SRB_HaId >= adapters) return SS_INVALID_HA;
    auto found = devices_.find({srb->SRB_HaId, srb->SRB_Target});
    if (found == devices_.end()) return SS_NO_DEVICE;
    if (srb->CDBByte[0] == 0x12 && srb->SRB_BufPointer) {
        std::memcpy(srb->SRB_BufPointer, found->second.data(), std::min<uint32_t>(srb->SRB_BufLen, 36));
    }
    return SS_COMP;
}

uint32_t FakeAspi::Send(void *request) {
    auto *srb = static_cast<SRB_ExecSCSICmd *>(request);
    uint8_t status;
    {
        std::lock_guard lock(mutex_);
        FakeRequest seen;
        std::memcpy(seen.record.data(), srb, sizeof(SRB_ExecSCSICmd));
        std::memcpy(&seen.srb, srb, sizeof(SRB_ExecSCSICmd));
        if (!(srb->SRB_Flags & SRB_DIR_IN) && srb->SRB_BufPointer && srb->SRB_BufLen)
            seen.data.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + srb->SRB_BufLen);
        const size_t n = requests_.size();
        requests_.push_back(std::move(seen));
        status = DefaultStatus(srb);
        if (decide) status = decide(*srb, n);
    }
    // INQUIRY, which a drive answers whatever it is doing, passes the gate.
    const bool gated = srb->CDBByte[0] != 0x12;
    auto finish = [this, srb, status, gated] {
        if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        std::unique_lock lock(mutex_);
        gateChanged_.wait(lock, [this, gated] { return gateOpen_ || !gated; });
        if (fill) fill(*srb);
        SrbStatusStore(srb, status);
    };
    bool later;
    {
        std::lock_guard lock(mutex_);
        later = completeLater || (!gateOpen_ && gated);
    }
    if (later) {
        std::lock_guard lock(mutex_);
        completions_.emplace_back(finish);
    } else {
        finish();
    }
    return status;
}
