// What quorvel-flash prints, as plain functions of what it has to say: the
// drive list, the record of flashes, the question before a write, the
// progress, and a box's text said in one line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/TowerDrives.h"
#include "drive/Drive.h"
#include "flash/FlashUnderWay.h"
#include "record/FlashHistory.h"
#include "record/FlashRecord.h"

// A box's text as one line of words: its lines joined by one blank, each
// without the blanks around it (" DOWNLOAD BUSY!! \nAnother program ..." gives
// "DOWNLOAD BUSY!! Another program ...").
std::string OneLine(const std::string &boxText);

// One line of `list`: the address, then vendor (8), product (16) and
// revision (4) in fixed columns as the drive reports them, so that blanks
// inside a field stay unambiguous, then how the drive is attached
// (TransportWord).
std::string DriveLine(const Drive &drive);
// `list --json`: an array of objects with adapter and target (numbers),
// vendor, model and revision (the drive's bytes one character each, trailing
// blanks cut), transport (TransportWord), and under-way: null, or for a drive
// of `underWay` its flash (UnderWayObject).
std::string DrivesJson(const std::vector<Drive> &drives, const std::vector<FlashUnderWay> &underWay = {});

// One line of `history`: every field of the record as key=value in the
// record's order, numbers bare, texts quoted ("\\", "\"" and bytes that are
// no printable text as \xHH).
std::string RecordLine(const FlashRecord &record);
// `history`: one line a flash (its record's lines share the flash's id), in
// the order of their first lines, newest last, in columns: when (its first
// line's time: the drive's answer), the drive ("A:T"), its model, "OLD ->
// NEW", and how it ended, its events in order: "accepted; the restart was
// asked and accepted; now runs 1.20", "refused at block 3 of 7", "cut off at
// block 3 of 7 (how the process ended)", "no restart was requested (why)".
std::vector<std::string> HistoryLines(const FlashHistory &history);
// `history --json`: an array of the record's objects, as its file holds them;
// the accepted line of each drive's flash that waits for this boot's restart
// (`boot`) has "awaits-restart": true besides.
std::string RecordsJson(const FlashHistory &history, const std::string &boot);

// "Write firmware 1.20 into QUORVEL CDRW-4824A at 0:1, now 1.10? [y/N] ".
std::string ConsentQuestion(const std::string &newVersion, const std::string &model, const std::string &address,
                            const std::string &oldVersion);
// Whether an answer to it is yes: "y" or "yes" in any letter case, blanks
// around it aside. Anything else, the empty line too, is no.
bool IsYes(const std::string &answer);

struct Progress {
    int accepted = 0;  // blocks the drive has accepted
    int count = 0;     // blocks in all
    int64_t bytes = 0;  // the image's bytes in the accepted blocks
    int64_t total = 0;  // the image's size
    int64_t milliseconds = 0;  // since the flash began
};
// Milliseconds as seconds with one decimal: "2.1 s".
std::string SecondsText(int64_t milliseconds);
// The bar redrawn on a terminal's line: "[######------] block 3 of 7,
// 184320 of 393216 bytes, 2.1 s".
std::string ProgressBar(const Progress &progress);
// A line per block where there is no terminal: "block 3 of 7 accepted,
// 184320 of 393216 bytes, 2.1 s".
std::string ProgressLine(const Progress &progress);

// Several drives at once (write --all, or --drive more than once).

// The line before the blocks: for one drive "writing firmware 1.20 into
// QUORVEL CDRW-4824A at 2:6 (now 1.10): 7 blocks, 393216 bytes of FW.BIN.";
// for `drives` of them at once, "writing firmware 1.20 into 4 drives at once:
// 7 blocks, 393216 bytes of FW.BIN each." (`first` is the first of them).
std::string WritingLine(const std::string &newVersion, const DriveOutcome &first, bool oneDrive, int drives,
                        int64_t bytes, const std::string &image);
// The drive's answer to its final block: for a drive named alone
// (`oneDrive`), "DOWNLOAD OK!! The drive at 2:6 accepted all 7 blocks; " and
// what follows (the restart, with `restart`); in a tower, "DOWNLOAD OK!! The
// drive accepted all 7 blocks." Refused: "DOWNLOAD FAIL!! The drive [at 2:6]
// refused the final block (7 of 7); it may need attention."
std::string ResultLine(const DriveOutcome &drive, bool accepted, bool oneDrive, bool restart);

// The question before writing several drives: its lines, the last one left
// open for the answer ("... [y/N] ").
std::vector<std::string> TowerQuestion(const std::string &newVersion, const std::vector<DriveOutcome> &drives);
// The result as the table says it: "accepted", "refused at block 3 of 7"
// (": CAUSE" when one is known), "went away at block 3 of 7", "cut off at
// block 3 of 7", "not written: WHY", "not answered".
std::string TowerResultText(const DriveOutcome &drive);
// The summary: a header and a line a drive, columns aligned.
std::string TowerTable(const std::string &newVersion, const std::vector<DriveOutcome> &drives);
// The same as one JSON object on one line: {"version", "drives": [{address,
// model, old, result, block, blocks, why, cause}], "status"}.
std::string TowerJson(const std::string &newVersion, const std::vector<DriveOutcome> &drives, int status);
// One event of one drive as a JSON line: {"drive": "A:T", "event": EVENT,
// and the numbers given (block, blocks) when not negative}.
std::string EventJson(const std::string &address, const std::string &event, int block = -1, int blocks = -1);

// check --json.

// The image as check reads it.
struct ImageFigures {
    std::string image;    // the path as given
    std::string model;    // printable; empty when the image could not be read
    std::string version;
    int blockSize = 0;    // bytes
    int blocks = 0;
    int64_t size = 0;
    std::string why;      // why a write would refuse the image; empty when it is valid
};
// One object on one line: {"image", "model", "version", "block-size",
// "blocks", "size", "valid", "why", "drives": [{drive, model, old, result
// ("would-write", or "not-written" with its why), why}], "status"}.
std::string CheckJson(const ImageFigures &image, const std::vector<DriveOutcome> &drives, int status);
