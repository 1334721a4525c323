// What quorvel-flash prints, as plain functions of what it has to say: the
// drive list, the record of flashes, the question before a write, the
// progress, and a box's text said in one line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "download/FlashRecord.h"
#include "drive/Probe.h"

// "A:T".
std::string AddressText(int adapter, int target);

// A box's text as one line of words: its lines joined by one blank, each
// without the blanks around it (" DOWNLOAD BUSY!! \nAnother program ..." gives
// "DOWNLOAD BUSY!! Another program ...").
std::string OneLine(const std::string &boxText);

// Bytes of a drive or an image (a model, a version) as a terminal may show
// them: up to a zero byte, trailing blanks cut, each byte outside printable
// ASCII as '?'.
std::string Printable(const std::string &bytes);

// One line of `list`: the address, then vendor (8), product (16) and
// revision (4) in fixed columns as the drive reports them, so that blanks
// inside a field stay unambiguous, then how the drive is attached
// (TransportWord).
std::string DriveLine(const ProbedDrive &drive);
// `list --json`: an array of objects with adapter and target (numbers),
// vendor, model and revision (the drive's bytes one character each, trailing
// blanks cut), and transport (TransportWord).
std::string DrivesJson(const std::vector<ProbedDrive> &drives);

// One line of `history`: every field of the record as key=value in the
// record's order, numbers bare, texts quoted ("\\", "\"" and bytes that are
// no printable text as \xHH).
std::string RecordLine(const FlashRecord &record);
// `history --json`: an array of the record's objects, as its file holds them.
std::string RecordsJson(const std::vector<FlashRecord> &records);

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

// One drive of a tower's write and how it came out.
struct DriveOutcome {
    enum class Result {
        Pending,        // not yet answered
        Accepted,       // the drive took every block
        Refused,        // the drive refused block `block` of `blocks` (the final one too)
        Lost,           // the flash's process ended at block `block` of `blocks`
        RefusedBefore,  // nothing was sent to it: `why`
    };
    std::string address;     // "A:T"
    std::string model;       // printable, trailing blanks cut
    std::string oldVersion;  // as the drive reported it
    Result result = Result::Pending;
    int block = 0;
    int blocks = 0;
    std::string why;
};

// The question before writing several drives: its lines, the last one left
// open for the answer ("... [y/N] ").
std::vector<std::string> TowerQuestion(const std::string &newVersion, const std::vector<DriveOutcome> &drives);
// The result as the table says it: "accepted", "refused at block 3 of 7",
// "cut off at block 3 of 7", "not written: WHY", "not answered".
std::string ResultText(const DriveOutcome &outcome);
// The summary: a header and a line a drive, columns aligned.
std::string TowerTable(const std::string &newVersion, const std::vector<DriveOutcome> &drives);
// The same as one JSON object on one line: {"version", "drives": [{address,
// model, old, result, block, blocks, why}], "status"}.
std::string TowerJson(const std::string &newVersion, const std::vector<DriveOutcome> &drives, int status);
// One event of one drive as a JSON line: {"drive": "A:T", "event": EVENT,
// and the numbers given (block, blocks) when not negative}.
std::string EventJson(const std::string &address, const std::string &event, int block = -1, int blocks = -1);
