// A small ASPI manager library for the binding tests, built as
// libwnaspi32.so.1 in a directory of its own. It reports two adapters and
// answers every request at once in a way the test can recognise: the data
// buffer filled from the command's first byte, the adapter and target echoed
// in the host and target status, INQUIRY accepted and anything else refused.
#include <cstdint>
#include <cstring>

#include "platform/wnaspi32.h"

extern "C" __attribute__((visibility("default"))) uint32_t GetASPI32SupportInfo(void) {
    return (static_cast<uint32_t>(SS_COMP) << 8) | 2u;
}

#ifndef FAKE_MANAGER_WITHOUT_SEND
extern "C" __attribute__((visibility("default"))) uint32_t SendASPI32Command(void *request) {
    auto *srb = static_cast<SRB_ExecSCSICmd *>(request);
    if (srb->SRB_Cmd != SC_EXEC_SCSI_CMD) {
        SrbStatusStore(srb, SS_INVALID_CMD);
        return SS_INVALID_CMD;
    }
    for (uint32_t i = 0; i < srb->SRB_BufLen; ++i)
        srb->SRB_BufPointer[i] = static_cast<uint8_t>(srb->CDBByte[0] ^ i);
    srb->SRB_HaStat = srb->SRB_HaId;
    srb->SRB_TargStat = srb->SRB_Target;
    const uint8_t status = srb->CDBByte[0] == 0x12 ? SS_COMP : SS_ERR;
    SrbStatusStore(srb, status);
    return status;
}
#endif
