// A flash under way, found from its drive alone: any front end of the user
// that started it connects to the flash's place (platform/FlashPlace.h) and
// is told where it stands, then every event as it happens.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "channel/FlashChannel.h"
#include "drive/Drive.h"
#include "platform/FlashProcess.h"
#include "record/FlashRecord.h"

struct FlashUnderWay {
    DriveAddress drive;
    FlashRecord record;      // the flash's line of the record: the drive, the image, its id, its starter
    FlashSnapshot snapshot;  // where it stands
    FlashOutcome answer;     // LookAtFlash: the drive's answer, when it had given it (else Pending)
};

// The drive as its flash's record names it: its address, and vendor, product
// and revision as it reported them before the flash (never asked again while
// it is written).
Drive DriveOfFlash(const FlashUnderWay &flash);

// Connected to the flash of `drive`, told where it stands: `seen` filled, and
// the lines that came after the snapshot (the drive's answer, adoption) left
// in `lines`. With `watch`, the follower watches to the end, and adopts the
// flash should its starter be gone. An end that is not open, `problem` saying why, when no flash of
// this user's is under way there, or what serves it does not speak this
// channel's version.
ChannelEnd FollowFlash(DriveAddress drive, bool watch, FlashUnderWay *seen, ChannelLines *lines, std::string *problem);
// Where the flash of `drive` stands, asked and let go (with the drive's
// answer when it came with the snapshot); nothing when none is under way
// there.
std::optional<FlashUnderWay> LookAtFlash(DriveAddress drive, std::string *problem);
// What a follower whose channel ended before the flash's answer says when
// the flash's process still serves the flash: it let the follower go (one
// that fell behind), and the flash goes on. Empty when it does not: the
// process has ended.
std::string LetGoSentence(DriveAddress drive);
// Every flash of this user under way on this machine, by drive.
std::vector<FlashUnderWay> FlashesUnderWay(std::string *problem);
