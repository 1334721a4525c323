// quorvel-flash's commands, each the window's flows without the window: the
// same discovery, the same image checks, the same flash. Each returns the
// program's exit status and has said on standard error why it refused.
#pragma once

#include <string>
#include <vector>

#include "cli/Arguments.h"
#include "cli/TowerDrives.h"
#include "image/BlockPlan.h"
#include "drive/Drive.h"
#include "flash/FlashUnderWay.h"

int RunList(bool json);
int RunCheck(const CliArguments &arguments);
int RunHistory(const CliArguments &arguments);
// Every flash of this user under way, and what can be known of other users'.
int RunStatus(bool json);
// Flashes under way followed to their end (Watch.cpp): runs the message loop
// until every one is over, or the watch is ended.
int RunWatch(const CliArguments &arguments);
// The flash to one drive or several at once (Write.cpp): runs the message
// loop until every flash is over.
int RunWrite(const CliArguments &arguments);

// The steps check and write share, each telling why it refuses.
// Discovery: the CD/DVD drives, in the list's order, a drive being flashed by
// this user not asked (its identity as its flash's record gives it), those
// flashes in `underWay` when given; false when there is no manager to ask.
bool FindTheDrives(std::vector<Drive> *drives, std::vector<FlashUnderWay> *underWay = nullptr);
// Discovery, and the CD/DVD drive at `address` made the selected one
// (`chosen`, when given, is what discovery found there); refused when a flash
// of it is under way (said, with the watch that follows it).
bool SelectDriveAt(const DriveAddress &address, Drive *chosen = nullptr);
// Open's checks of `path` (against the selected drive's model when
// `againstDrive`), leaving the image loaded as Open does.
bool LoadImageAt(const std::string &path, bool againstDrive);
// The block plan of the loaded image, made once for the write (its checks,
// its progress and its flashes); false when the image is not valid.
bool PlanTheLoadedImage(BlockPlan *plan);
// The drives write goes to, and the image's checks. One drive named alone
// (`oneDrive`): the drive first, then the image against its model, as Open
// does. Otherwise discovery, the image, then each drive given (with --all,
// every drive of the image's model), one that fails a check said on its line
// and left alone (NotWritten), the others Pending. False, each refusal
// said, when nothing can be chosen.
bool ChooseDrivesToWrite(const CliArguments &arguments, bool oneDrive, std::vector<DriveOutcome> *drives,
                         BlockPlan *plan);
