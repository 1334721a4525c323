// The record of every flash, kept for the user in
// $XDG_STATE_HOME/quorvel/flashes.jsonl (~/.local/state/quorvel/ by default):
// one JSON object a line, one line an event, appended by every program of the
// project that flashes a drive. A flash refused before anything was sent is
// not recorded. After the restart the window checks each flash recorded as
// accepted against the drives it finds (AfterRestart.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <QJsonObject>

#include "record/FlashOutcome.h"

enum class RecordEvent {
    Accepted,             // the drive took every block
    Refused,              // the drive refused block `block` of `blocks` (`detail`: what is known of why;
                          // `cause` and `sense`)
    Gone,                 // the drive went away at block `block`: nothing more was sent, no restart
    RestartRequested,     // the restart that finishes the update was asked for
    RestartAccepted,      // ... and the system accepted it
    RestartRefused,       // ... and the system refused it (`detail`: why)
    RestartNotRequested,  // the program ended without asking (`detail`: why)
    Confirmed,            // after the restart the drive reports the new version
    NotTaken,             // after a restart it still reports another (`detail`)
    Superseded,           // a later flash of the same model was checked instead
    Unattended,           // the flash's front end was gone before it had seen the flash through: the
                          // flash's process finished it and requested no restart (`detail`: who was gone)
    ProcessLost,          // the flash's process ended before the drive had answered: `block` the one it
                          // had reached, `detail` how it ended
    UnattendedTold,       // the window told the user at its next start how such a flash ended
    Started,              // the flash's process began the blocks (`pid`: that process): a flash with no line
                          // of the drive's answer after it was cut off, once its process is gone
};

struct FlashRecord {
    std::string time;     // UTC, 2026-12-07T16:20:01Z
    std::string boot;     // the kernel's boot id when the event happened
    std::string flash;    // the flash's id: the same on every line of one flash
    std::string program;  // the program that wrote the line
    RecordEvent event = RecordEvent::Accepted;
    // The drive, as it reported itself at the time, and where it was.
    std::string vendor;    // INQUIRY's vendor, trailing blanks cut
    std::string model;     // INQUIRY's product, trailing blanks cut
    std::string revision;  // the firmware it reported
    int adapter = -1;
    int target = -1;
    // The image.
    std::string file;  // its name, without the folder
    int64_t size = 0;
    std::string sha256;
    std::string version;  // the version its trailer names
    int block = 0;        // Refused: the block the drive refused; Accepted: blocks
    int blocks = 0;
    std::string detail;
    // A failed command (Refused, Gone): its cause's word (refused, timeout,
    // gone, adapter, unknown) and the drive's sense bytes in hex, as the
    // drive gave them. Written only when known; lines without them read
    // as empty.
    std::string cause;
    std::string sense;
    // Started: the flash's process, in the boot `boot`. Written only then.
    int pid = 0;
};

const char *RecordEventName(RecordEvent event);
// One line of the record (no line feed).
std::string EncodeRecord(const FlashRecord &record);
// The same as a JSON object.
QJsonObject RecordObject(const FlashRecord &record);
// False for a line that is damaged or not the record's.
bool DecodeRecord(const std::string &line, FlashRecord *record);

// The record's file; empty when the user has no state folder.
std::string FlashRecordPath();
// Appends one line. A record that cannot be written is told through `say`
// once a run, and changes nothing else: the flash goes on.
void AppendFlashRecord(const FlashRecord &record, const std::function<void(const std::string &)> &say);
// One event of a flash appended: `flash`'s lines (the drive, the image, the
// flash's id, the program) with this event, its block and detail, the time and
// the boot id. Both ends of a flash's channel write its lines through here.
void RecordFlashEvent(const FlashRecord &flash, RecordEvent event, int block, const std::string &detail,
                      const std::function<void(const std::string &)> &say);
// The drive's answer to a flash, as its process records it: accepted (every
// block); or refused, or gone, at its block, with the cause's word, `detail`
// (what is known of why) and the drive's sense bytes in hex.
void RecordDriveAnswer(const FlashRecord &flash, const FlashOutcome &outcome, const std::string &detail,
                       const std::string &sense, const std::function<void(const std::string &)> &say);
// Every line of the record that can be read, oldest first; each damaged or
// foreign line is skipped and told through `say`.
std::vector<FlashRecord> ReadFlashRecords(const std::function<void(const std::string &)> &say);

// A new flash's id: the time and the process, unique on this machine.
std::string NewFlashId();

