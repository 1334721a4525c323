#include "drive/Scsi.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "platform/Pause.h"
#include "platform/aspi.h"

namespace {
// The wait reads the status without a pause for this long first: a command
// that a manager ends at once, or within microseconds from its own thread,
// is seen ended without a sleep, which would cost more than the command.
constexpr auto kSpinSpan = std::chrono::microseconds(50);
// Then the pause between reads grows with the time already waited, as a
// fiftieth of it, so that a command is seen ended within about 2 % of its
// own time (1 % on average: a flash of 10 ms blocks takes 1.01 times the
// drive's time), between these bounds; a drive writing its flash for seconds
// is read 500 times a second, not millions.
constexpr int kPauseFraction = 50;
constexpr auto kShortestPause = std::chrono::microseconds(20);
constexpr auto kLongestPause = std::chrono::milliseconds(2);

uint8_t WaitForStatus(const SRB_ExecSCSICmd *srb) {
    uint8_t status = SrbStatusLoad(srb);
    if (status != SS_PENDING) return status;
    const auto start = std::chrono::steady_clock::now();
    auto waited = std::chrono::steady_clock::duration::zero();
    while (waited < kSpinSpan) {
        for (int i = 0; i < 64; ++i)
            if ((status = SrbStatusLoad(srb)) != SS_PENDING) return status;
        waited = std::chrono::steady_clock::now() - start;
    }
    while ((status = SrbStatusLoad(srb)) == SS_PENDING) {
        PauseThisThread(
            std::clamp<std::chrono::steady_clock::duration>(waited / kPauseFraction, kShortestPause, kLongestPause));
        waited = std::chrono::steady_clock::now() - start;
    }
    return status;
}
}  // namespace

const uint8_t InquiryCommand[6] = {0x12, 0x00, 0x00, 0x00, 0x24, 0x00};
uint8_t DownloadCommand[12] = {0xFF, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

void FillScsiRequest(uint8_t *requestBlock, uint8_t adapter, uint8_t target, const uint8_t *command,
                     int commandLength, uint8_t *data, uint32_t dataLength) {
    std::memset(requestBlock, 0, kRequestBlockSize);
    auto *srb = reinterpret_cast<SRB_ExecSCSICmd *>(requestBlock);
    srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb->SRB_HaId = adapter;
    // The vendor download command (FF xx 01) goes out with 0x02, which sets
    // neither direction bit; everything else reads from the device.
    srb->SRB_Flags = (commandLength >= 3 && command[0] == 0xFF && command[2] == 0x01) ? 0x02 : SRB_DIR_IN;
    srb->SRB_Target = target;
    srb->SRB_Lun = 0;
    srb->SRB_BufPointer = data;
    srb->SRB_BufLen = dataLength;
    srb->SRB_SenseLen = SENSE_LEN;
    srb->SRB_CDBLen = static_cast<uint8_t>(commandLength);
    std::memcpy(srb->CDBByte, command, static_cast<size_t>(commandLength));
}

ScsiAnswer ExecuteScsiCommandAnswered(uint8_t adapter, uint8_t target, const uint8_t *command, int commandLength,
                                      uint8_t *data, uint32_t dataLength) {
    ScsiAnswer answer;
    if (command == nullptr || commandLength < 1 || commandLength > 16) {
        answer.status = SS_INVALID_CMD;
        return answer;
    }
    // The block must stay put until the manager has set the status: it lives
    // on the heap for the whole call, never moved.
    auto block = std::make_unique<uint8_t[]>(kRequestBlockSize);
    FillScsiRequest(block.get(), adapter, target, command, commandLength, data, dataLength);
    auto *srb = reinterpret_cast<SRB_ExecSCSICmd *>(block.get());
    aspi::SendASPI32Command(srb);
    // The manager marks the end by writing SRB_Status, read afresh each time;
    // what it wrote before the status is seen once the status is.
    answer.status = WaitForStatus(srb);
    if (answer.status != SS_COMP) {
        answer.haStat = srb->SRB_HaStat;
        answer.targStat = srb->SRB_TargStat;
        answer.senseLength = static_cast<uint8_t>(std::min<size_t>(srb->SRB_SenseLen, sizeof srb->SenseArea));
        std::memcpy(answer.sense.data(), srb->SenseArea, answer.senseLength);
    }
    return answer;
}

int ExecuteScsiCommand(uint8_t adapter, uint8_t target, const uint8_t *command, int commandLength,
                       uint8_t *data, uint32_t dataLength) {
    return ExecuteScsiCommandAnswered(adapter, target, command, commandLength, data, dataLength).status;
}
