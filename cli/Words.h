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
// inside a field stay unambiguous; the line's trailing blanks cut.
std::string DriveLine(const ProbedDrive &drive);
// `list --json`: an array of objects with adapter and target (numbers),
// vendor, model and revision (the drive's bytes one character each, trailing
// blanks cut).
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
