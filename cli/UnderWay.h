// What quorvel-flash says of flashes under way, as plain functions: status's
// lines and JSON, list's mark, write's and check's refusal of a drive being
// flashed, watch's first line. A flash under way is what its process told
// (flash/FlashUnderWay.h): its record's line (the drive as it reported
// itself before the flash, the image, its starter) and where it stands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <QJsonObject>

#include "drive/Drive.h"
#include "flash/FlashUnderWay.h"
#include "platform/OtherFlashes.h"

// Milliseconds since 1970 as the record writes a time: "2026-12-08T09:14:27Z".
std::string UtcTimeText(int64_t milliseconds);
// Who started it: "quorvel-flash (pid 4242, running)", "quorvel (pid 4242,
// gone)".
std::string StarterText(const FlashUnderWay &flash);
// Where it stands: "block 2 of 5" (blocks accepted, as the bar says them),
// "the final block in the drive", or the drive's answer ("accepted all 5
// blocks", "refused at block 3 of 5").
std::string StandingText(const FlashUnderWay &flash);
// The command that follows it: "quorvel-flash watch --drive 0:1".
std::string WatchCommandText(DriveAddress drive);

// status: one line a flash of this user's, in columns: the drive, its model,
// "OLD -> NEW", the image's file, where it stands, since when, who started
// it; then a line for each flash of another user's (OtherFlashes.h); "nothing
// under way." when there is none.
std::vector<std::string> StatusLines(const std::vector<FlashUnderWay> &flashes,
                                     const std::vector<OtherUsersFlash> &others);
// status --json: {"flashes": [{drive, vendor, model, old, new, file, size,
// sha256, flash, block, blocks, final, result, since, starter: {program, pid,
// present}, restart}], "other-users": [{user, uid, pid, since, holds}]}.
std::string StatusJson(const std::vector<FlashUnderWay> &flashes, const std::vector<OtherUsersFlash> &others);

// list: after the drive's line, "being flashed: block 2 of 5".
std::string ListMark(const FlashUnderWay &flash);
// list --json: the drive's "under-way" object: {block, blocks, final,
// version, file, since, starter, pid, present}.
QJsonObject UnderWayObject(const FlashUnderWay &flash);

// write and check to a drive being flashed: "DOWNLOAD BUSY!! A flash of this
// drive is under way: firmware 1.20 from FW4824.BIN, block 2 of 5, started
// by quorvel-flash (pid 4242, gone) at 2026-12-08T09:14:27Z. Nothing was
// sent to it; quorvel-flash watch --drive 0:1 follows it."
std::string UnderWayRefusal(const FlashUnderWay &flash);
// watch's first line: for a drive named alone (`oneDrive`) "following the
// flash of firmware 1.20 into QUORVEL CDRW-4824A at 0:1 (now 1.10): 5 blocks,
// 262144 bytes of FW4824.BIN, started by quorvel-flash (pid 4242, gone) at
// 2026-12-08T09:14:27Z; block 2 of 5."; otherwise the same without " at 0:1".
std::string FollowingLine(const FlashUnderWay &flash, bool oneDrive);
