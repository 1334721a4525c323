// The terminal as the front end of any number of flashes: the ones write
// starts, or the ones watch finds under way (Flash::Follow), shown alike. A
// DriveView a drive; the progress (a line a block where standard error is no
// terminal, else the bar, or a tower's lines redrawn in place); each drive's
// result; the table or the JSON lines; the one restart once every drive has
// accepted; the exit status. One drive named alone is said in words of its
// own (no address, its bar); every other run in a tower's.
#pragma once

#include <QTimer>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cli/Arguments.h"
#include "cli/TowerDrives.h"
#include "flash/Flash.h"

class TerminalFrontEnd;

// One drive's flash as the terminal shows it.
class DriveView : public FlashFrontEnd {
public:
    DriveView(TerminalFrontEnd &terminal, size_t index) : terminal_(terminal), index_(index) {}
    void FlashStateChanged(FlashState state) override;
    void FinalBlockGoing() override;
    void TransferOver(const FlashOutcome &outcome) override;
    void ShowResult(const FlashOutcome &outcome) override;
    void ShowEndedEarly(const FlashOutcome &outcome) override;
    void Say(const std::string &line, Said said) override;
    void EndProgram() override;

private:
    TerminalFrontEnd &terminal_;
    size_t index_;
};

// A drive of the run.
struct DriveWrite {
    using Clock = std::chrono::steady_clock;
    DriveOutcome outcome;  // Pending while its flash goes on
    std::unique_ptr<Flash> flash;
    std::unique_ptr<DriveView> view;
    std::vector<int64_t> bytesAfter;  // the image's bytes in its first k blocks, k = 0 to blocks
    Clock::time_point began;          // when its blocks began
    bool restartFollows = false;      // its result line says that the restart follows
    int shown = 0;                    // blocks said so far, where each is said on a line
    bool over = false;                // the drive has answered its last command
    bool answered = false;            // ... and its result is said
};

// The image's bytes in the first k blocks of a flash, k = 0 to `blocks`:
// every block but the final one `blockKb` KiB, the final one the rest of
// `size` (the block plan's rule).
std::vector<int64_t> BytesAfterBlocks(int64_t size, int blockKb, int blocks);

class TerminalFrontEnd : public RestartListener {
public:
    // `version`: the version every drive's image names (a drive's own,
    // DriveOutcome::version, when they differ; SetVersion once known); `restart`: the restart is
    // asked for once every drive has accepted, for the flashes that await it.
    TerminalFrontEnd(bool oneDrive, bool json, bool restart, std::string version);

    // The run's drives, in order, each Pending (to be flashed) or
    // NotWritten; a command adds them, gives each its flash, and begins.
    size_t Add(DriveOutcome drive, std::vector<int64_t> bytesAfter);
    DriveWrite &At(size_t index) { return drives_[index]; }
    size_t Count() const { return drives_.size(); }
    bool OneDrive() const { return oneDrive_; }
    const std::string &Version() const { return version_; }
    // Once the image is read.
    void SetVersion(std::string version) { version_ = std::move(version); }
    // Where nothing was sent: the drive, or any drive.
    const char *Nothing() const { return oneDrive_ ? "Nothing was sent to the drive." : "Nothing was sent to any drive."; }
    // What goes before a line about one drive: nothing for a single drive.
    std::string Of(size_t index) const { return oneDrive_ ? std::string() : Address(index) + ": "; }
    std::string Address(size_t index) const { return AddressText(drives_[index].outcome.drive.address); }
    // A JSON event line of a drive, with --json.
    void Event(size_t index, const std::string &event, int block = -1, int blocks = -1);
    std::vector<Flash *> Flashes();
    std::vector<DriveOutcome> Outcomes() const;

    // Every drive's flash shown from now on: `event` its first JSON line
    // ("started", "following"), the progress timer running.
    void Begin(const char *event);
    // No flash to show: the summary says why for each drive, and the program
    // ends with the run's status.
    void NothingToShow();
    // An end request (SIGTERM, SIGINT, SIGHUP) once the flashes have begun:
    // held by every flash still written, then the program ends.
    void HoldEndRequest();
    // The program ends with `status`, every flash's end said once.
    void Finish(int status);
    bool Began() const { return began_; }
    bool Finished() const { return finished_; }
    int Status() const { return status_; }
    // The message loop is over: every flash's process is told that its drive
    // may go, or goes on alone with a flash still written.
    void FinishAtProgramEnd();

    // From the drives' views.
    void ShowProgress();
    // Before a line about a drive, a tower's lines are brought up to date.
    void BeforeSaying() {
        if (!oneDrive_) ShowProgress();
    }
    void StateChanged(size_t index, FlashState state);
    void DriveDone(size_t index);
    void Result(size_t index, const FlashOutcome &outcome);
    void Say(size_t index, const std::string &line, Said said);

    // The restart's answer, once for every drive.
    void Say(const std::string &line) override;
    void ShowRestartRefused(const char *reason) override;

private:
    void Summarize(int status);
    void AllAnswered();
    const bool oneDrive_;
    const bool json_;
    const bool restart_;
    const bool terminal_;
    std::string version_;
    std::vector<DriveWrite> drives_;
    QTimer timer_;
    int status_ = kExitRefused;
    bool began_ = false;
    bool endRequested_ = false;
    bool allAnswered_ = false;
    bool restartAsked_ = false;
    bool finished_ = false;
    std::set<std::string> processLines_;  // what the flashes' processes said, once a run
    std::map<std::string, std::set<size_t>> endings_;  // how flashes end, and the drives that end so
};
