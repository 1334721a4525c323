// Did it take? At start, once the window is shown, each flash recorded as
// accepted and not yet checked is checked against the drives found: by the
// drive's identity (vendor and model), never by its adapter and target,
// which change across restarts.
#pragma once

#include <string>
#include <vector>

#include "record/FlashRecord.h"

// A drive as discovery found it now.
struct DriveFound {
    std::string vendor;    // trailing blanks cut
    std::string model;     // the product, trailing blanks cut
    std::string revision;  // trailing blanks cut
    int adapter = -1;
    int target = -1;
};

enum class FlashVerdict {
    Confirmed,  // a drive of the flash's model reports the version the image named
    NotTaken,   // the system has restarted since, and none of them does
    Pending,    // the same boot, or no drive of that model here: nothing to say yet
};

struct FlashJudgment {
    FlashVerdict verdict = FlashVerdict::Pending;
    // The drive that decided: the one with the new version, or (not taken)
    // the first of the model; -1 when pending.
    int drive = -1;
};

// The rule, in this order: a drive of that model with the new version
// confirms; else, with a drive of that model present and another boot (both
// boot ids known), the flash did not take; else it stays pending.
FlashJudgment JudgeFlash(const FlashRecord &accepted, const std::vector<DriveFound> &drives,
                         const std::string &bootNow);

// The flashes to check: per drive model, the newest flash recorded as
// accepted and not yet confirmed, not taken or superseded, oldest model
// first. The older ones of a model still open go to `superseded`.
std::vector<FlashRecord> FlashesToCheck(const std::vector<FlashRecord> &records,
                                        std::vector<FlashRecord> *superseded);

// A flash that ended without its front end (its process finished it), and
// how the drive answered, as the record tells it.
struct UnattendedFlash {
    FlashRecord unattended;  // the process's line: `detail` who was gone
    bool accepted = false;   // the drive took every block; else it refused block `unattended.block`
    bool gone = false;       // ... or went away there
};
// The flashes whose process recorded them unattended and that the window has
// not told the user of yet, oldest first.
std::vector<UnattendedFlash> UnattendedToTell(const std::vector<FlashRecord> &records);

// The 24-character model text (vendor in 8, then the product) as the window
// shows it, trailing blanks cut.
std::string ModelText(const std::string &vendor, const std::string &model);

// True the first time it is asked in a run: the check comes once.
bool AfterRestartCheckDue();
// The check, with a box for each flash it can decide, and the record told;
// then a box for each flash that ended without its front end and that the
// check did not decide, told once.
void CheckFlashesAfterRestart();
