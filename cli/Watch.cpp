// watch: flashes under way followed to their end, each from where it stands
// (Flash::Follow), and shown by the terminal's one front end
// (TerminalFrontEnd.h) as if this program had started them: the progress,
// the result lines, a tower's table, the JSON lines, the exit status. A
// watch only follows: the flash is its process's, and ending the watch
// (Ctrl+C, the terminal lost, SIGTERM) never ends the flash. A flash whose
// starter is gone is adopted by its first watcher, which then tells and
// records its end, and asks for its restart only when its starter had asked
// for one.
#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <utility>
#include <memory>
#include <vector>

#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/TerminalFrontEnd.h"
#include "cli/UnderWay.h"
#include "flash/Flash.h"
#include "platform/System.h"
#include "platform/Termination.h"

namespace {
// The version every flash writes, when they all write the same.
std::string CommonVersion(const std::vector<std::unique_ptr<Flash>> &flashes) {
    std::string version;
    for (const auto &flash : flashes) {
        if (!flash) continue;
        const std::string &its = flash->Found().record.version;
        if (!version.empty() && version != its) return {};
        version = its;
    }
    return Printable(version);
}

class WatchCommand {
public:
    explicit WatchCommand(const CliArguments &arguments) : arguments_(arguments) {}

    // Every flash asked for, found and followed; false when there is none to
    // follow (said).
    bool Choose();
    void Start();
    // SIGTERM, SIGINT, SIGHUP: the watch ends, the flashes go on.
    void TerminationRequested(int signal);
    TerminalFrontEnd &Terminal() { return *terminal_; }

private:
    const CliArguments &arguments_;
    std::unique_ptr<TerminalFrontEnd> terminal_;
};

bool WatchCommand::Choose() {
    std::vector<DriveAddress> drives = arguments_.drives;
    std::string problem;
    if (drives.empty()) {
        for (const FlashUnderWay &flash : FlashesUnderWay(&problem)) drives.push_back(flash.drive);
        // In the drive list's order, whatever the folder's.
        std::sort(drives.begin(), drives.end(), [](DriveAddress a, DriveAddress b) {
            return std::pair(a.adapter, a.target) < std::pair(b.adapter, b.target);
        });
        if (drives.empty()) {
            Tell("nothing under way to follow" + (problem.empty() ? std::string(".") : " (" + problem + ")."));
            return false;
        }
    }
    std::vector<std::unique_ptr<Flash>> flashes;
    std::vector<std::string> problems;
    for (const DriveAddress &drive : drives) {
        problem.clear();
        flashes.push_back(Flash::Follow(drive, kProgramName, &problem));
        problems.push_back(problem);
    }
    const bool oneDrive = arguments_.drives.size() == 1 && !arguments_.json;
    terminal_ = std::make_unique<TerminalFrontEnd>(oneDrive, arguments_.json, true, CommonVersion(flashes));
    bool any = false;
    for (size_t i = 0; i < drives.size(); ++i) {
        DriveOutcome drive;
        drive.drive.address = drives[i];
        if (!flashes[i]) {
            drive.outcome.ending = FlashEnding::NotWritten;
            drive.outcome.why = "no flash is under way here (" + problems[i] + ").";
            const size_t index = terminal_->Add(std::move(drive), {0});
            Tell(terminal_->Of(index) + (oneDrive ? "no flash is under way at " + AddressText(drives[i]) + " (" +
                                                        problems[i] + "); quorvel-flash status shows the flashes under way."
                                                  : drive.outcome.why));
            terminal_->Event(index, "not-under-way");
            continue;
        }
        const FlashUnderWay &found = flashes[i]->Found();
        drive.drive = DriveOfFlash(found);
        drive.version = Printable(found.record.version);
        const size_t index = terminal_->Add(
            std::move(drive), BytesAfterBlocks(found.record.size, found.snapshot.blockKb, found.snapshot.count));
        DriveWrite &shown = terminal_->At(index);
        shown.flash = std::move(flashes[i]);
        shown.restartFollows = found.snapshot.restartWanted;
        // Its time is counted from its own start, as its starter counts it.
        shown.began = DriveWrite::Clock::now() -
                      std::chrono::milliseconds(std::max<int64_t>(0, UnixMilliseconds() - found.snapshot.since));
        any = true;
    }
    if (any) return true;
    terminal_->NothingToShow();
    return false;
}

void WatchCommand::Start() {
    for (size_t i = 0; i < terminal_->Count(); ++i) {
        const DriveWrite &drive = terminal_->At(i);
        if (drive.flash) Tell(terminal_->Of(i) + FollowingLine(drive.flash->Found(), terminal_->OneDrive()));
    }
    terminal_->Begin("following");
}

void WatchCommand::TerminationRequested(int signal) {
    if (terminal_->Finished()) return;
    Tell(std::string("the watch ended: ") +
         (terminal_->OneDrive() ? "the flash goes on; quorvel-flash status shows it."
                                : "the flashes go on; quorvel-flash status shows them."));
    // Whatever awaited this program (a restart it adopted) is said and
    // recorded as not requested; nothing is sent to the flashes' processes.
    for (Flash *flash : terminal_->Flashes()) flash->EndsWithProgram("the watch ended before the restart was requested");
    terminal_->Finish(128 + signal);
}
}  // namespace

int RunWatch(const CliArguments &arguments) {
    WatchCommand watch(arguments);
    if (!watch.Choose()) return kExitRefused;
    WatchTerminationRequests([&watch](int signal) { watch.TerminationRequested(signal); });
    QTimer::singleShot(0, [&watch] { watch.Start(); });
    QCoreApplication::exec();
    watch.Terminal().FinishAtProgramEnd();
    return watch.Terminal().Status();
}
