// Why a command failed, as the request it went out in tells it: one cause,
// decided from SRB_Status, SRB_HaStat, SRB_TargStat and the sense area in a
// fixed order, with the drive's sense decoded to words by Debian's sg3_utils
// library (its one decoder, the words every sg3_utils tool says). The sense
// area comes from the device: any length, any bytes; nothing of it is ever
// said but as numbers and the library's words.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "drive/Drive.h"
#include "drive/Scsi.h"

enum class FailureKind {
    None,           // the command completed (SS_COMP): nothing failed
    Refused,        // the drive refused it: CHECK CONDITION with its sense (key, and ASC/ASCQ when present)
    TimedOut,       // no answer in time: the adapter gave up on it
    Gone,           // the drive went away: no device there any more
    AdapterFailed,  // the adapter or the bus failed (a reset, a selection time-out, a parity or phase error)
    Unknown,        // nothing more is known than the status
};

struct FailureCause {
    FailureKind kind = FailureKind::None;
    uint8_t status = 0;    // SRB_Status
    uint8_t haStat = 0;    // SRB_HaStat
    uint8_t targStat = 0;  // SRB_TargStat
    // Refused: the sense key, and ASC and ASCQ when the sense holds them.
    uint8_t senseKey = 0, asc = 0, ascq = 0;
    bool ascKnown = false;
    std::string keyWords;  // "ILLEGAL REQUEST"
    std::string ascWords;  // "invalid command operation code"; empty unless ascKnown
    // AdapterFailed: what the adapter said ("bus reset", "selection time-out", ...).
    std::string adapterWords;
    std::string senseHex;  // the sense area's bytes as lower-case hex, for the record (any kind)
};

// In this order, the first that holds:
//   1. SS_COMP: None.
//   2. SS_ERR, CHECK CONDITION (0x02) and sense in fixed (0x70, 0x71) or
//      descriptor (0x72, 0x73) format that holds the sense key: Refused.
//   3. SRB_HaStat a time-out (0x09 waiting, 0x0B while processing): TimedOut.
//   4. SS_NO_DEVICE: Gone.
//   5. Any other SRB_HaStat but 0: AdapterFailed.
//   6. Unknown.
// `sense` is the bytes the manager may have filled: the first
// min(SRB_SenseLen, 16) of SenseArea.
FailureCause DecideFailureCause(uint8_t status, uint8_t haStat, uint8_t targStat, std::span<const uint8_t> sense);
FailureCause DecideFailureCause(const ScsiAnswer &answer);

// The record's word for a kind: "none", "refused", "timeout", "gone", "adapter", "unknown".
const char *FailureKindWord(FailureKind kind);
// The kind a word names, or nothing for a word that is none of them.
std::optional<FailureKind> FailureKindOfWord(std::string_view word);

// The cause in one sentence for the user, printable ASCII:
//   "The drive said: ILLEGAL REQUEST, invalid command operation code (5/20/00)."
//   "The drive said: NOT READY (2)."                      (no ASC in the sense)
//   "The drive did not answer in time."
//   "The drive went away (unplugged, reset or switched off)."
//   "The drive's adapter or bus failed (bus reset)."
// Empty for None and Unknown: nothing more is known than what is said today.
std::string SayFailureCause(const FailureCause &cause);

// Whether a failure may be the drive gone away although the command's
// statuses do not say so: one the drive did not explain (no answer in time,
// the adapter's or the bus's failure, nothing known). A drive unplugged from
// USB ends the command in flight with the adapter's failure (the kernel's
// DID_ERROR, said as a bus phase error), and only the next command finds no
// device: whether the drive is still there decides (AskWhetherThere).
// Refused and Gone are decided already; None failed not.
bool AsksWhetherGone(const FailureCause &cause);

// What an INQUIRY sent to ask whether the drive is still there tells, in
// this order, the first that holds:
//   1. SS_COMP: There, it answered.
//   2. SS_NO_DEVICE: Gone, there is no device there any more.
//   3. SRB_HaStat selection time-out (0x11): Gone, nothing answers at its
//      address (a USB drive while the kernel removes it, a device the kernel
//      has taken offline).
//   4. Unsure: any other failure (its bus still being reset, say).
enum class Presence { There, Gone, Unsure };
Presence DecidePresence(const ScsiAnswer &inquiry);

// The advice for a drive behind USB that refuses the first block as a
// command it does not know (ILLEGAL REQUEST with ASC 20h, invalid command
// operation code, or 24h, invalid field in CDB) or does not answer it in
// time: many USB adapters do not pass vendor commands.
bool WantsUsbAdvice(const FailureCause &cause, DriveTransport transport, bool firstBlock);
extern const char kUsbAdvice[];  // "This drive is connected through USB; ..."
