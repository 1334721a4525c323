// The channel between a flash's process and its front end (the window, or
// quorvel-flash): text lines both ways over one socket, each side's first
// line naming the channel and its version. The words are plain functions: a
// line encoded here decodes to what it was made from, and a line that is
// damaged, cut, of another version or of a word the reader does not know
// decodes to nothing; the reader stops there and says so, it never guesses.
// docs/ARCHITECTURE.md describes every line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drive/FailureCause.h"
#include "record/FlashOutcome.h"

// The channel's first line on both sides: "quorvel-transfer 3". Version 2
// added the failed command's cause and the busy drive's reason; version 3 the
// flash served to its followers (the snapshot, the starter gone, adoption)
// and the starter's wish for the restart. A front end and a process of
// different versions refuse each other at the first line, never in the
// middle of a flash.
constexpr char kChannelName[] = "quorvel-transfer";
constexpr int kChannelVersion = 3;
// No line of the channel is longer: a record's line with a long file name,
// every byte of it escaped, stays well below.
constexpr size_t kChannelLineLimit = 16384;
// No flash has more blocks than this (the trailer gives at most 255).
constexpr int kChannelBlockLimit = 65535;

// What the flash's process tells its front end.
enum class TransferWord {
    Hello,      // quorvel-transfer 2
    Held,       // held: the drive is ours; the blocks begin
    Busy,       // busy [TEXT]: another process is writing to the drive, or (TEXT says) a disc from it
                // is mounted, or another program has it open for writing; nothing was sent
    Unguarded,  // unguarded TEXT: nothing can keep others off the drive (why); nothing was sent
    Declined,   // declined TEXT: the process cannot carry this flash (why); nothing was sent
    Block,      // block N COUNT: the drive accepted block N of COUNT (not the final one)
    Final,      // final COUNT: the final block goes to the drive now
    Accepted,   // accepted COUNT: the drive took the final block: all COUNT
    Cause,      // cause KIND [TEXT]: why the command the next refused line names failed (KIND:
                // refused, timeout, gone, adapter, unknown; TEXT: what the user is told of it)
    Refused,    // refused N COUNT: the drive refused block N (COUNT: the final one); 0: the
                // transfer could not be started, nothing was sent
    Say,        // say TEXT: a line for the user's standard error
    Released,   // released: the drive is let go; the process ends
    // To a follower (a front end that found the flash under way) first:
    Record,       // record JSON: the flash's line of the record (the drive, the image, its id, its starter)
    Snapshot,     // snapshot ACCEPTED COUNT FINAL SINCE PID present|gone restart|no-restart BLOCK_KB: where it
                  // stands
    // And later:
    StarterGone,  // starter gone: the front end that started it has gone
    Adopt,        // adopt: this follower now owns the flash's end (its restart, its release), the starter gone
};

// Where a flash stands, as its process tells a follower that has just come.
struct FlashSnapshot {
    int accepted = 0;            // blocks the drive has accepted
    int count = 0;               // blocks in all
    bool finalOut = false;       // the final block has gone to the drive
    int64_t since = 0;           // when the blocks began, milliseconds since 1970 (UTC)
    int starterPid = 0;          // the front end that started it
    bool starterPresent = true;  // ... is still there
    bool restartWanted = false;  // ... asked for the restart once the drive has accepted
    int blockKb = 0;             // the KiB of every block but the final one (the rest of the image)
};

struct TransferEvent {
    TransferWord word = TransferWord::Hello;
    int block = 0;
    int count = 0;
    std::string text;                        // Busy, Unguarded, Declined, Say, Cause, Record
    FailureKind cause = FailureKind::None;   // Cause: never None
    FlashSnapshot snapshot;                  // Snapshot
};

// An event of `word`, with the counts and the text it needs.
TransferEvent EventOf(TransferWord word, int block = 0, int count = 0, std::string text = {});
std::string EncodeTransferEvent(const TransferEvent &event);
std::optional<TransferEvent> DecodeTransferEvent(std::string_view line);

// The lines that tell the drive's answer, the flash's outcome as its process
// decided it: "accepted COUNT"; or "cause KIND [TEXT]" (when the cause is
// known) and "refused N COUNT", for a drive that refused a block or went away
// at it (KIND gone).
std::vector<TransferEvent> OutcomeEvents(const FlashOutcome &outcome);
// The outcome those lines tell: `answer` the accepted or refused line,
// `cause` the cause line before it (its word None when there was none).
FlashOutcome OutcomeOfAnswer(const TransferEvent &answer, const TransferEvent &cause);

// What the front end tells the flash's process: first the flash (hello, its
// figures, its record's line, start), later what only the front end knows.
enum class FrontEndWord {
    Hello,             // quorvel-transfer 2
    Flash,             // flash ADAPTER TARGET SIZE BLOCK_KB BLOCKS
    Record,            // record JSON: the record's line that every event of this flash repeats
    RestartWanted,     // restart wanted: the front end will ask for the restart once the drive accepted
    Watch,             // watch: a follower that watches to the end, and may adopt the flash
    Start,             // start: the figures are complete
    RestartRequested,  // restart requested: the front end asked the system for the restart
    RestartAccepted,   // restart accepted
    RestartRefused,    // restart refused
    RestartWithheld,   // restart withheld: the front end ends without asking, and has said why
    Release,           // release: the drive may go
};

struct FrontEndMessage {
    FrontEndWord word = FrontEndWord::Hello;
    int adapter = 0;
    int target = 0;
    int64_t size = 0;
    int blockKb = 0;
    int blocks = 0;
    std::string text;  // Record: the JSON line
};

std::string EncodeFrontEndMessage(const FrontEndMessage &message);
std::optional<FrontEndMessage> DecodeFrontEndMessage(std::string_view line);

// A text as one line of the channel: '\\' and every byte below 0x20 or 0x7F
// written as \\, \n, \t or \xHH; and back (nothing for a damaged escape).
std::string EscapeChannelText(std::string_view text);
std::optional<std::string> UnescapeChannelText(std::string_view text);

// Bytes as they arrive, cut into lines. A line longer than the limit, or a
// zero byte, damages the channel: no line comes out of it from then on.
class ChannelLines {
public:
    void Add(std::string_view bytes);
    // The next whole line, without its line feed.
    std::optional<std::string> Next();
    bool Damaged() const { return damaged_; }
    // Bytes of a line not yet ended by its line feed.
    bool Partial() const { return !damaged_ && !pending_.empty(); }

private:
    std::string pending_;
    bool damaged_ = false;
};

class ChannelEnd;  // platform/FlashProcess.h

// How reading the lines that open a flash came out.
enum class StartLines {
    Decided,   // `take` had what it waited for, or a line it cannot take
    Damaged,   // a line over the limit, or a zero byte
    Ended,     // the other side closed the channel before that
    TimedOut,  // nothing was decided in the time given
};
// The lines that open a flash, on either side of the channel: read as they
// come, for up to `milliseconds`, each whole line handed to `take`, in order,
// until it returns true.
StartLines ReadStartLines(ChannelEnd &channel, ChannelLines &lines, int milliseconds,
                          const std::function<bool(const std::string &line)> &take);
