// The check after the restart; see AfterRestart.h.
#include "app/AfterRestart.h"

#include <set>
#include <string>
#include <vector>

#include "channel/FlashTexts.h"
#include "drive/Drive.h"
#include "platform/System.h"
#include "platform/win32.h"
#include "platform/window/win32_window.h"
#include "record/FlashHistory.h"
#include "state/MainWindow.h"
#include "state/SharedState.h"

namespace {
constexpr char kProgram[] = "quorvel";

// The drives of the window's list, as discovery found them.
std::vector<Drive> DrivesInTheList() {
    std::vector<Drive> drives;
    if (MainForm == nullptr) return drives;
    for (int k = 0; k < DriveCount && k < kDriveTableSize; ++k) {
        Drive drive;
        drive.identity = DriveIdentity::FromBytes(MainForm->DriveEntryText(k));
        drive.address = {DriveTable[1][k], DriveTable[0][k]};
        drives.push_back(drive);
    }
    return drives;
}

void Say(const std::string &line) { WriteDiagnostic((std::string(kProgram) + ": " + line).c_str()); }

// One more line of a flash the record holds, written by the window.
void Record(FlashRecord line, RecordEvent event) {
    line.program = kProgram;
    RecordFlashEvent(line, event, line.block, line.detail, Say);
}

// How a flash that ended without its front end came out, said once.
void TellUnattended(const RecordedFlash &flash, const std::set<std::string> &decided) {
    // The process's unattended line (its detail who was gone); for a flash
    // cut off with nobody there, its started line.
    const FlashRecord *unattended = flash.Line(RecordEvent::Unattended);
    FlashRecord line = unattended != nullptr ? *unattended : *flash.Line(RecordEvent::Started);
    if (unattended == nullptr) line.detail = flash.outcome.why;
    // Recorded before the box: said once, even should the program end while
    // the box is open.
    Record(line, RecordEvent::UnattendedTold);
    // The check after the restart has just said how it came out.
    if (decided.count(flash.id) != 0) return;
    FlashOutcome outcome = flash.outcome;
    if (!outcome.Answered()) {
        outcome.ending = FlashEnding::Refused;
        outcome.block = line.block;
        outcome.blocks = line.blocks;
    }
    const std::string text = UnattendedText(ModelText(line.vendor, line.model), line.version, line.detail, outcome);
    MessageBoxA(BoxOwner(), text.c_str(), "MESSAGE",
                outcome.ending == FlashEnding::Accepted ? MB_SYSTEMMODAL : MB_SYSTEMMODAL | MB_ICONERROR);
}
}  // namespace

bool AfterRestartCheckDue() {
    static bool done = false;
    if (done) return false;
    done = true;
    return true;
}

void CheckFlashesAfterRestart() {
    FlashHistory history(ReadFlashRecords(Say));
    history.Resolve(BootId(), FlashProcessRunning);
    std::vector<const FlashRecord *> superseded;
    const std::vector<const FlashRecord *> toCheck = history.ToCheck(&superseded);
    const std::vector<const RecordedFlash *> unattended = history.UnattendedToTell();
    if (toCheck.empty() && superseded.empty() && unattended.empty()) return;
    const std::string boot = BootId();
    for (const FlashRecord *older : superseded) Record(*older, RecordEvent::Superseded);
    const std::vector<Drive> drives = DrivesInTheList();
    std::set<std::string> decided;
    for (const FlashRecord *flash : toCheck) {
        const FlashJudgment judgment = JudgeFlash(*flash, drives, boot);
        if (judgment.verdict == FlashVerdict::Pending) continue;
        decided.insert(flash->flash);
        const Drive &drive = drives[static_cast<size_t>(judgment.drive)];
        FlashRecord entry = *flash;
        entry.revision = FieldText(drive.identity.revision);
        entry.adapter = drive.address.adapter;
        entry.target = drive.address.target;
        const std::string model = ModelText(flash->vendor, flash->model);
        // Recorded before the box: it is said once, even should the program
        // end while the box is open.
        if (judgment.verdict == FlashVerdict::Confirmed) {
            Record(entry, RecordEvent::Confirmed);
            MessageBoxA(BoxOwner(), FirmwareUpdatedText(model, flash->version, flash->revision).c_str(), "MESSAGE",
                        MB_SYSTEMMODAL);
        } else {
            Record(entry, RecordEvent::NotTaken);
            MessageBoxA(BoxOwner(), FirmwareNotUpdatedText(model, entry.revision, flash->version).c_str(), "MESSAGE",
                        MB_SYSTEMMODAL | MB_ICONERROR);
        }
    }
    for (const RecordedFlash *flash : unattended) TellUnattended(*flash, decided);
}
