// A flash prepared: its own process (quorvel-transfer) started with the
// image's sealed copy and the flash's figures, and awaited until it holds the
// drive. Nothing is sent to the drive here: the process waits for the flash's
// start (Flash::Start), and a process let go before it closes the channel
// and writes nothing.
#pragma once

#include <string>
#include <vector>

#include "drive/Drive.h"
#include "flash/CheckedImage.h"
#include "channel/FlashChannel.h"
#include "record/FlashRecord.h"
#include "platform/FlashProcess.h"

// A flash's process that holds its drive and waits for the start.
struct PreparedFlash {
    HANDLE process = nullptr;
    ChannelEnd channel;
    ChannelLines lines;   // what it told after "held", not yet read
    FlashRecord record;   // this flash's part of every line of the record
    int count = 0;        // the flash's blocks
};

// A process for each of `drives`, all started before any is awaited, so that
// a tower takes one start's time, not one a drive. For each drive, in order:
// Ready, with its prepared flash; or DriveBusy, DriveUnguarded or
// NoFlashProcess, `reasons` saying why (for DriveBusy, when the drive is busy
// otherwise than with another flash: a mounted disc, another writer), its
// process let go.
// `program` names the front end (the record's program); `restartWanted`:
// it will ask for the restart once the drive has accepted.
std::vector<FlashCheck> PrepareFlashes(const CheckedImage &image, const std::vector<Drive> &drives,
                                       const char *program, bool restartWanted,
                                       std::vector<PreparedFlash> *prepared, std::vector<std::string> *reasons);

// A flash's process whose channel has been closed: it has ended or is about
// to. Waited for up to `wait` ms; one that has not ended by then is collected
// later. Says how it ended.
std::string LetFlashProcessGo(HANDLE process, DWORD wait);
// The processes let go that have ended since, collected.
void CollectEndedFlashProcesses();
