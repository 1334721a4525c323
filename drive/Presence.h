// After a command of a flash has failed without the drive's own word:
// whether the drive is still there, asked of the drive itself, and the
// failure's cause with the answer taken in (the rules are FailureCause.h's
// AsksWhetherGone and DecidePresence).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "drive/FailureCause.h"
#include "drive/Scsi.h"

// INQUIRY, which a drive answers whatever it is doing, sent at once and,
// while the answer is unsure, again every quarter of a second until `within`
// has passed since the first: a drive unplugged from USB is removed by the
// kernel well within the two seconds. Still unsure then: the drive is taken
// to be there (Unsure is returned), and the cause stays as its statuses say.
Presence AskWhetherThere(uint8_t adapter, uint8_t target,
                         std::chrono::milliseconds within = std::chrono::milliseconds(2000));

// The cause of a failed command as DecideFailureCause decides it from the
// request, but Gone for a failure the drive did not explain (AsksWhetherGone)
// when the drive is no longer there, whatever status the command ended with.
// Nothing is sent after a refusal, a drive already gone, or a command that
// completed; after any other failure, the INQUIRY of AskWhetherThere.
FailureCause CauseOfFailedCommand(const ScsiAnswer &answer, uint8_t adapter, uint8_t target);

// Whether an INQUIRY answer (its first 36 bytes) is of the drive a flash was
// prepared for: its identity (DriveIdentity::FromBytes of bytes 8 to 35)
// gives the vendor and model a record names (FieldText), `vendor` and
// `model`.
bool AnswersAsTheDrive(const uint8_t *inquiry, const std::string &vendor, const std::string &model);

// Whether the drive at the address, asked now with INQUIRY, is there and is
// the one a front end chose (AnswersAsTheDrive). Drives come and go behind
// USB: a front end that found its drives before one was unplugged may hold
// an address where another drive answers now, or none.
bool StillTheDrive(uint8_t adapter, uint8_t target, const std::string &vendor, const std::string &model);
