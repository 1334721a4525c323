// The record walked once: its lines grouped into flashes (every line of one
// flash shares its id), each flash with how it ended and what became of it
// since. Every reader of the record asks this walker: history's lines and
// JSON, the check after the restart, the unattended flashes the window tells,
// and which flash of a drive waits for the host's restart.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "drive/Drive.h"
#include "record/FlashOutcome.h"
#include "record/FlashRecord.h"

// One flash as its lines tell it.
struct RecordedFlash {
    std::string id;
    std::vector<const FlashRecord *> lines;  // in the record's order; the first names the drive and the image
    // How the drive answered: the process's accepted, refused or gone line;
    // cut off when the front end recorded that the process was lost first;
    // Pending when the record holds none of them.
    FlashOutcome outcome;
    bool settled = false;         // checked after a restart: confirmed, not taken, or superseded
    bool unattendedTold = false;  // the window told the user how it ended without its front end
    bool underWay = false;        // its process still writes the drive (Resolve)

    const FlashRecord &First() const { return *lines.front(); }
    // Its line of `event`, or null.
    const FlashRecord *Line(RecordEvent event) const;
};

class FlashHistory {
public:
    explicit FlashHistory(std::vector<FlashRecord> records);
    FlashHistory(const FlashHistory &) = delete;
    FlashHistory &operator=(const FlashHistory &) = delete;

    // A flash that began (its started line) and has no line of the drive's
    // answer is under way while its process runs (in this boot, `running`
    // says so of its pid); else it was cut off (killed, the power lost),
    // before the drive had answered, how far it got not known.
    void Resolve(const std::string &bootNow, const std::function<bool(int pid)> &running);

    // Every readable line, oldest first.
    const std::vector<FlashRecord> &Lines() const { return lines_; }
    // Every flash, in the order of their first lines.
    const std::vector<RecordedFlash> &Flashes() const { return flashes_; }

    // The check after the restart: per drive model (vendor and product: a
    // drive's address changes across restarts), the accepted lines of the
    // flashes not yet settled, the newest to check, the older ones
    // superseded by it; the oldest model first.
    std::vector<const FlashRecord *> ToCheck(std::vector<const FlashRecord *> *superseded) const;
    // The flashes whose process finished them without their front end, and
    // (once resolved) those cut off with nobody there, that the window has not
    // told yet, oldest first.
    std::vector<const RecordedFlash *> UnattendedToTell() const;
    // Per drive (its address and identity, unchanged within a boot), its
    // newest flash when the drive accepted it during boot `boot` and nothing
    // has settled it since: the flash that waits for the host's restart.
    std::vector<const RecordedFlash *> WaitingForRestart(const std::string &boot) const;

private:
    std::vector<FlashRecord> lines_;
    std::vector<RecordedFlash> flashes_;
};

enum class FlashVerdict {
    Confirmed,  // a drive of the flash's model reports the version the image named
    NotTaken,   // the system has restarted since, and none of them does
    Pending,    // the same boot, or no drive of that model here: nothing to say yet
};

struct FlashJudgment {
    FlashVerdict verdict = FlashVerdict::Pending;
    // The drive that decided: the one with the new version, or (not taken)
    // the first of the model; -1 when pending.
    int drive = -1;
};

// Did it take? The rule, in this order: a drive of the flash's model (vendor
// and product, never its address, which changes across restarts) with the
// new version confirms; else, with a drive of that model present and another
// boot (both boot ids known), the flash did not take; else it stays pending.
FlashJudgment JudgeFlash(const FlashRecord &accepted, const std::vector<Drive> &drives, const std::string &bootNow);

// The 24-character model text (vendor in 8, then the product) as the window
// shows it, trailing blanks cut.
std::string ModelText(const std::string &vendor, const std::string &model);
