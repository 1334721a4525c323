// The SCSI command transport: one command through the ASPI manager, and the
// two fixed command blocks the program sends.
#pragma once

#include <array>
#include <cstdint>

constexpr int kRequestBlockSize = 256;

extern const uint8_t InquiryCommand[6];   // 12 00 00 00 24 00
// FF 00 01 00 00 xx 00 00 00 00 00 00: byte 5 marks first, further and final
// block; no other byte ever changes.
extern uint8_t DownloadCommand[12];

// Fills a zeroed 256-byte request block for one command: SRB_ExecSCSICmd at
// its start, every field the transport sets, the rest zero. Requires
// 0 <= commandLength <= 16.
void FillScsiRequest(uint8_t *requestBlock, uint8_t adapter, uint8_t target, const uint8_t *command,
                     int commandLength, uint8_t *data, uint32_t dataLength);

// Sends one command and waits until the manager has ended it, reading
// SRB_Status afresh on every pass: at once at first, then with pauses that
// grow with the time waited, so that a long command costs no processor.
// Returns the status zero-extended (0x82 is 130); 1 is success. A command
// length outside 1..16 is refused with SS_INVALID_CMD and nothing is sent.
int ExecuteScsiCommand(uint8_t adapter, uint8_t target, const uint8_t *command, int commandLength,
                       uint8_t *data, uint32_t dataLength);

// What a request held once its manager had ended it: the status and, after a
// failure, what the manager filled in besides (the adapter's and the
// target's status, and up to 16 bytes of sense).
struct ScsiAnswer {
    int status = 0;  // SRB_Status zero-extended, as ExecuteScsiCommand returns it
    uint8_t haStat = 0;
    uint8_t targStat = 0;
    std::array<uint8_t, 16> sense{};
    uint8_t senseLength = 0;  // min(SRB_SenseLen, 16): the bytes of `sense` the manager may have filled
};

// ExecuteScsiCommand, handing back the request's fields after it has ended.
// A command length outside 1..16 is refused with SS_INVALID_CMD and nothing
// else, as there.
ScsiAnswer ExecuteScsiCommandAnswered(uint8_t adapter, uint8_t target, const uint8_t *command, int commandLength,
                                      uint8_t *data, uint32_t dataLength);
