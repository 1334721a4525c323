// Which drives a write goes to, and what their outcomes come to, as plain
// rules. Which drives: with --all every found drive of the image's model, the
// others named; with --drive each address given, in its order, not written
// (nothing to be sent to it) when no drive is found there or it is of another
// model.
#pragma once

#include <string>
#include <vector>

#include "drive/Drive.h"
#include "record/FlashOutcome.h"

// One drive of a write or a check, and how it came out.
struct DriveOutcome {
    Drive drive;           // a drive not found: its address alone
    FlashOutcome outcome;  // Pending, NotWritten with why, or how its flash ended
    std::string version;   // a flash followed (watch): the version its image names; empty: the run's one
};

// `imageModel`: the image's 24-byte model. `others` (for --all): the found
// drives of another model, "A:T MODEL, ..."; empty when there is none.
std::vector<DriveOutcome> ChooseTowerDrives(const std::vector<Drive> &found, const std::vector<DriveAddress> &given,
                                            bool all, const char *imageModel, std::string *others);

// The exit status of a tower, once every drive has answered: 2 when nothing
// was sent to any drive (each refused before its flash, or its transfer
// never started), 0 when every drive accepted, 1 otherwise.
int TowerStatus(const std::vector<DriveOutcome> &outcomes);

// Why a write that the drives have answered ends without asking for the
// restart, as its record and its line say: --restart was not given, or (with
// it) not every drive accepted; a single drive's words are its own.
std::string NoRestartCause(bool oneDrive, int status, bool restart);
