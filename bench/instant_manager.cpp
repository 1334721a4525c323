// An ASPI manager that completes every command before SendASPI32Command
// returns, so that a benchmark measures the program's side of a command and
// nothing of a drive's. One adapter; a CD/DVD drive at target 0.
#include <cstdint>
#include <cstring>

#include "platform/wnaspi32.h"

namespace {
const uint8_t kInquiry[36] = {0x05, 0x80, 0x05, 0x02, 31, 0, 0, 0,
                              'Q', 'U', 'O', 'R', 'V', 'E', 'L', ' ',
                              'B', 'E', 'N', 'C', 'H', '-', 'D', 'R', 'I', 'V', 'E', ' ', ' ', ' ', ' ', ' ',
                              '1', '.', '0', '0'};
}

extern "C" __attribute__((visibility("default"))) uint32_t GetASPI32SupportInfo(void) {
    return (uint32_t{SS_COMP} << 8) | 1u;
}

extern "C" __attribute__((visibility("default"))) uint32_t SendASPI32Command(void *request) {
    auto *srb = static_cast<SRB_ExecSCSICmd *>(request);
    uint8_t status = SS_COMP;
    if (srb->SRB_Cmd != SC_EXEC_SCSI_CMD) {
        status = SS_INVALID_CMD;
    } else if (srb->SRB_HaId != 0) {
        status = SS_INVALID_HA;
    } else if (srb->SRB_Target != 0) {
        status = SS_NO_DEVICE;
    } else if (srb->CDBByte[0] == 0x12 && srb->SRB_BufPointer != nullptr) {
        std::memcpy(srb->SRB_BufPointer, kInquiry, srb->SRB_BufLen < 36 ? srb->SRB_BufLen : 36);
    }
    SrbStatusStore(srb, status);
    return status;
}
