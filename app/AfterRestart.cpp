// The check after the restart; see AfterRestart.h.
#include "app/AfterRestart.h"

#include <map>
#include <set>
#include <utility>

#include "platform/System.h"
#include "platform/win32.h"
#include "platform/window/win32_window.h"
#include "state/MainWindow.h"
#include "state/SharedState.h"

namespace {
bool SameModel(const FlashRecord &flash, const DriveFound &drive) {
    return flash.vendor == drive.vendor && flash.model == drive.model;
}

bool Closes(RecordEvent event) {
    return event == RecordEvent::Confirmed || event == RecordEvent::NotTaken || event == RecordEvent::Superseded;
}

// The drives of the window's list, as discovery found them.
std::vector<DriveFound> DrivesInTheList() {
    std::vector<DriveFound> drives;
    if (MainForm == nullptr) return drives;
    for (int k = 0; k < DriveCount && k < kDriveTableSize; ++k) {
        const std::string text = MainForm->DriveEntryText(k) + std::string(28, ' ');
        DriveFound drive;
        drive.vendor = RecordText(text.data(), 8);
        drive.model = RecordText(text.data() + 8, 16);
        drive.revision = RecordText(text.data() + 24, 4);
        drive.adapter = DriveTable[1][k];
        drive.target = DriveTable[0][k];
        drives.push_back(drive);
    }
    return drives;
}

void Say(const std::string &line) { WriteDiagnostic(("quorvel: " + line).c_str()); }

void Append(FlashRecord entry, RecordEvent event, const std::string &boot) {
    entry.event = event;
    entry.time = UtcTimestamp();
    entry.boot = boot;
    entry.program = "quorvel";
    AppendFlashRecord(entry, Say);
}
}  // namespace

FlashJudgment JudgeFlash(const FlashRecord &accepted, const std::vector<DriveFound> &drives,
                         const std::string &bootNow) {
    int first = -1;
    for (size_t i = 0; i < drives.size(); ++i) {
        if (!SameModel(accepted, drives[i])) continue;
        if (drives[i].revision == accepted.version) return {FlashVerdict::Confirmed, static_cast<int>(i)};
        if (first < 0) first = static_cast<int>(i);
    }
    const bool restartedSince = !bootNow.empty() && !accepted.boot.empty() && bootNow != accepted.boot;
    if (first >= 0 && restartedSince) return {FlashVerdict::NotTaken, first};
    return {FlashVerdict::Pending, -1};
}

std::vector<FlashRecord> FlashesToCheck(const std::vector<FlashRecord> &records,
                                        std::vector<FlashRecord> *superseded) {
    std::set<std::string> closed;
    for (const FlashRecord &r : records)
        if (Closes(r.event)) closed.insert(r.flash);
    // Per model, the open accepted flashes in the record's order.
    std::vector<std::pair<std::string, std::string>> models;  // (vendor, model), first seen first
    std::map<std::pair<std::string, std::string>, std::vector<FlashRecord>> open;
    for (const FlashRecord &r : records) {
        if (r.event != RecordEvent::Accepted || closed.count(r.flash) != 0) continue;
        const auto key = std::make_pair(r.vendor, r.model);
        if (open.count(key) == 0) models.push_back(key);
        open[key].push_back(r);
    }
    std::vector<FlashRecord> toCheck;
    for (const auto &key : models) {
        std::vector<FlashRecord> &flashes = open[key];
        for (size_t i = 0; i + 1 < flashes.size(); ++i) superseded->push_back(flashes[i]);
        toCheck.push_back(flashes.back());
    }
    return toCheck;
}

std::vector<UnattendedFlash> UnattendedToTell(const std::vector<FlashRecord> &records) {
    std::set<std::string> told;
    std::set<std::string> accepted;
    std::set<std::string> gone;
    for (const FlashRecord &r : records) {
        if (r.event == RecordEvent::UnattendedTold) told.insert(r.flash);
        if (r.event == RecordEvent::Accepted) accepted.insert(r.flash);
        if (r.event == RecordEvent::Gone) gone.insert(r.flash);
    }
    std::vector<UnattendedFlash> toTell;
    for (const FlashRecord &r : records) {
        if (r.event != RecordEvent::Unattended || told.count(r.flash) != 0) continue;
        told.insert(r.flash);  // once, whatever the record repeats
        toTell.push_back({r, accepted.count(r.flash) != 0, gone.count(r.flash) != 0});
    }
    return toTell;
}

std::string ModelText(const std::string &vendor, const std::string &model) {
    std::string text = vendor;
    if (text.size() < 8) text.resize(8, ' ');
    text += model;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

bool AfterRestartCheckDue() {
    static bool done = false;
    if (done) return false;
    done = true;
    return true;
}

namespace {
// How a flash that ended without its front end came out, said once.
void TellUnattended(const UnattendedFlash &flash, const std::set<std::string> &decided, const std::string &boot) {
    const FlashRecord &line = flash.unattended;
    // The check after the restart has just said how it came out.
    if (decided.count(line.flash) == 0) {
        const std::string model = ModelText(line.vendor, line.model);
        char text[600];
        if (flash.accepted)
            wsprintfA(text,
                      "FIRMWARE WRITTEN!!\n%s\n%s was written while %s:\nthe drive accepted all %d blocks.\n"
                      "Restart the computer to finish the update.",
                      model.c_str(), line.version.c_str(), line.detail.c_str(), line.blocks);
        else
            wsprintfA(text,
                      " DOWNLOAD FAIL!! \n%s\n%s was written while %s:\nthe drive %s block %d of %d.\n"
                      "The drive may need the same image again.",
                      model.c_str(), line.version.c_str(), line.detail.c_str(), flash.gone ? "went away at" : "refused",
                      line.block, line.blocks);
        // Recorded before the box: said once, even should the program end
        // while the box is open.
        Append(line, RecordEvent::UnattendedTold, boot);
        MessageBoxA(BoxOwner(), text, "MESSAGE", flash.accepted ? MB_SYSTEMMODAL : MB_SYSTEMMODAL | MB_ICONERROR);
        return;
    }
    Append(line, RecordEvent::UnattendedTold, boot);
}
}  // namespace

void CheckFlashesAfterRestart() {
    const std::vector<FlashRecord> records = ReadFlashRecords(Say);
    std::vector<FlashRecord> superseded;
    const std::vector<FlashRecord> toCheck = FlashesToCheck(records, &superseded);
    const std::vector<UnattendedFlash> unattended = UnattendedToTell(records);
    if (toCheck.empty() && superseded.empty() && unattended.empty()) return;
    const std::string boot = BootId();
    for (const FlashRecord &older : superseded) Append(older, RecordEvent::Superseded, boot);
    const std::vector<DriveFound> drives = DrivesInTheList();
    std::set<std::string> decided;
    for (const FlashRecord &flash : toCheck) {
        const FlashJudgment judgment = JudgeFlash(flash, drives, boot);
        if (judgment.verdict == FlashVerdict::Pending) continue;
        decided.insert(flash.flash);
        const DriveFound &drive = drives[static_cast<size_t>(judgment.drive)];
        FlashRecord entry = flash;
        entry.revision = drive.revision;
        entry.adapter = drive.adapter;
        entry.target = drive.target;
        const std::string model = ModelText(flash.vendor, flash.model);
        char text[400];
        // Recorded before the box: it is said once, even should the program
        // end while the box is open.
        if (judgment.verdict == FlashVerdict::Confirmed) {
            Append(entry, RecordEvent::Confirmed, boot);
            wsprintfA(text, "FIRMWARE UPDATED!!\n%s\nnow runs %s (was %s)", model.c_str(), flash.version.c_str(),
                      flash.revision.c_str());
            MessageBoxA(BoxOwner(), text, "MESSAGE", MB_SYSTEMMODAL);
        } else {
            Append(entry, RecordEvent::NotTaken, boot);
            wsprintfA(text,
                      "FIRMWARE NOT UPDATED!!\n%s\nstill runs %s, not %s.\nFlash it again, or ask the drive's maker.",
                      model.c_str(), drive.revision.c_str(), flash.version.c_str());
            MessageBoxA(BoxOwner(), text, "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
        }
    }
    for (const UnattendedFlash &flash : unattended) TellUnattended(flash, decided, boot);
}
