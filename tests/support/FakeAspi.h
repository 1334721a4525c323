// An in-process ASPI manager for unit and window tests, connected to a
// RecorderLayer: adapters, devices with their INQUIRY answers, a record of
// every request as it arrived (all 88 bytes of the record, and for commands
// that carry data out, a copy of the data), refusals on demand, completion at
// once or later from another thread, and a gate that holds completion back.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/wnaspi32.h"
#include "tests/support/RecorderLayer.h"

struct FakeRequest {
    std::array<uint8_t, sizeof(SRB_ExecSCSICmd)> record{};  // as submitted
    SRB_ExecSCSICmd srb{};                                   // the same, typed
    std::vector<uint8_t> data;  // bytes the request carried out (not for SRB_DIR_IN)
};

class FakeAspi {
public:
    explicit FakeAspi(RecorderLayer &layer);
    ~FakeAspi();

    // GetASPI32SupportInfo answers (status << 8) | adapters.
    void SetAdapters(int adapters, uint8_t status = SS_COMP);
    // A device at (adapter, target): INQUIRY byte 0 and bytes 8..35 taken from
    // `identification` (28 bytes; shorter is zero-padded, so a zero inside it
    // ends the text early, as a real answer can).
    void AddDevice(int adapter, int target, uint8_t byte0, const std::string &identification);

    // Decides the final status of request n (0-based, counting every request);
    // default: SS_COMP for a device that exists, SS_NO_DEVICE or SS_INVALID_HA otherwise.
    std::function<uint8_t(const SRB_ExecSCSICmd &, size_t n)> decide;
    // Writes what a manager fills besides the status (SRB_HaStat,
    // SRB_TargStat, SenseArea), on the completing thread, right before the
    // status.
    std::function<void(SRB_ExecSCSICmd &)> fill;
    // Complete from another thread after delayMs, instead of before returning.
    bool completeLater = false;
    int delayMs = 0;
    // While closed, completion waits (on its own thread) until OpenGate.
    void CloseGate();
    void OpenGate();

    std::vector<FakeRequest> Requests();
    size_t RequestCount();

private:
    uint32_t Send(void *srb);
    uint8_t DefaultStatus(SRB_ExecSCSICmd *srb);

    RecorderLayer &layer_;
    std::mutex mutex_;
    std::condition_variable gateChanged_;
    bool gateOpen_ = true;
    uint32_t supportInfo_ = 0;
    std::map<std::pair<int, int>, std::array<uint8_t, 36>> devices_;
    std::vector<FakeRequest> requests_;
    std::vector<std::thread> completions_;
};
