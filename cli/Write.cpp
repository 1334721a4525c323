// write: the flash from a terminal, to one drive or to several at once (a
// tower; one drive is a tower of one). Every check the window makes before
// Down, for each drive (one that fails is said and left alone); one question
// (or --yes); one sealed copy of the image for every drive's flash, each its
// own process, all started together (flash/Flash.h); the progress; one
// restart, once every drive has accepted. The message loop runs from the
// question to the end. One drive named with --drive, without --json, is said
// in words of its own (its question, its bar, no address); every other write
// in a tower's (a line a drive, the table or the JSON lines).
#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/TowerDrives.h"
#include "cli/Words.h"
#include "flash/Flash.h"
#include "channel/FlashTexts.h"
#include "drive/Drive.h"
#include "platform/Terminal.h"
#include "platform/Termination.h"
#include "state/SharedState.h"

namespace {
using Clock = std::chrono::steady_clock;
// How often the progress is looked at: BlocksAccepted() is read, never
// waited for, so the flash's pace is the drive's alone.
constexpr int kProgressMilliseconds = 100;

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

struct DriveWrite {
    DriveOutcome outcome;
    std::unique_ptr<Flash> flash;
    std::unique_ptr<DriveView> view;
    int shown = 0;          // blocks said so far, where each is said on a line
    bool over = false;      // the drive has answered its last command
    bool answered = false;  // ... and its result is said
};

class TerminalFrontEnd : public RestartListener {
public:
    explicit TerminalFrontEnd(const CliArguments &arguments)
        : arguments_(arguments),
          oneDrive_(!arguments.all && arguments.drives.size() == 1 && !arguments.json),
          terminal_(IsTerminal(StandardStream::Error)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] { ShowProgress(); });
    }

    // Discovery, the image's checks, and each drive's; false when nothing
    // can be written (each refusal said).
    bool Choose();
    // The question, or --yes.
    void Ask();
    // SIGTERM, SIGINT, SIGHUP, read on the message loop.
    void TerminationRequested();
    int Status() const { return status_; }
    // Where nothing was sent: the drive, or any drive.
    const char *Nothing() const { return oneDrive_ ? "Nothing was sent to the drive." : "Nothing was sent to any drive."; }
    // The message loop is over: every flash's process is told that its drive
    // may go, or goes on alone with a flash still written.
    void FinishAtProgramEnd() {
        for (DriveWrite &drive : drives_)
            if (drive.flash) drive.flash->FinishAtProgramEnd();
    }

    // From the drives' views.
    DriveWrite &At(size_t index) { return drives_[index]; }
    // What goes before a line about one drive: nothing for a single drive.
    std::string Of(size_t index) const { return oneDrive_ ? std::string() : Address(index) + ": "; }
    void Event(size_t index, const std::string &event, int block = -1, int blocks = -1) {
        if (arguments_.json) Print(EventJson(Address(index), event, block, blocks));
    }
    std::string Address(size_t index) const { return AddressText(drives_[index].outcome.drive.address); }
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
    void Say(const std::string &line) override { Tell(line); }
    void ShowRestartRefused(const char *reason) override {
        status_ = kExitRestartRefused;
        Tell(OneLine(RestartRefusedText(reason)));
    }

private:
    void Start();
    void Summarize(int status);
    void AllAnswered();
    void Finish(int status);
    std::vector<DriveOutcome> Outcomes() const;
    std::vector<Flash *> Flashes();
    const CliArguments &arguments_;
    const bool oneDrive_;
    const bool terminal_;
    std::vector<DriveWrite> drives_;  // in the order given (--all: discovery's)
    BlockPlan plan_;                  // the image's, made once
    std::string newVersion_;
    std::vector<int64_t> bytesAfter_;  // the image's bytes in the first k blocks
    QTimer timer_;
    Clock::time_point startTime_;
    int status_ = kExitRefused;
    bool started_ = false;
    bool endRequested_ = false;
    bool allAnswered_ = false;
    bool restartAsked_ = false;
    bool finished_ = false;
    std::set<std::string> processLines_;  // what the flashes' processes said, once a run
    std::map<std::string, std::set<size_t>> endings_;  // how flashes end, and the drives that end so
};

bool TerminalFrontEnd::Choose() {
    std::vector<DriveOutcome> chosen;
    if (!ChooseDrivesToWrite(arguments_, oneDrive_, &chosen, &plan_)) return false;
    newVersion_ = Printable(std::string_view(ImageVersion, 4));
    bytesAfter_.push_back(0);
    for (const BlockStep &step : plan_.steps) bytesAfter_.push_back(bytesAfter_.back() + step.length);
    for (size_t i = 0; i < chosen.size(); ++i) {
        drives_.push_back({chosen[i], nullptr, std::make_unique<DriveView>(*this, i)});
        drives_[i].outcome.outcome.blocks = static_cast<int>(plan_.steps.size());
        if (drives_[i].outcome.outcome.ending == FlashEnding::NotWritten) Event(i, "not-written");
    }
    for (const DriveWrite &drive : drives_)
        if (drive.outcome.outcome.ending == FlashEnding::Pending) return true;
    // Nothing to write: the summary says why for each drive.
    Summarize(TowerStatus(Outcomes()));
    return false;
}

void TerminalFrontEnd::Ask() {
    if (arguments_.yes) return Start();
    std::vector<std::string> question;
    if (oneDrive_) {
        const Drive &drive = drives_.front().outcome.drive;
        question.push_back(ConsentQuestion(newVersion_, Printable(drive.identity.Model()), AddressText(drive.address),
                                           Printable(drive.identity.revision)));
    } else {
        std::vector<DriveOutcome> toWrite;
        for (const DriveWrite &drive : drives_)
            if (drive.outcome.outcome.ending == FlashEnding::Pending) toWrite.push_back(drive.outcome);
        question = TowerQuestion(newVersion_, toWrite);
    }
    AskOnTerminal(question, [this](std::optional<bool> yes) {
        if (finished_) return;  // asked to end meanwhile
        if (yes && *yes) return Start();
        Tell(std::string(yes ? "not written: the answer was not yes. " : "not written: the answer cannot be read. ") +
             Nothing());
        Finish(kExitRefused);
    });
}

void TerminalFrontEnd::Start() {
    // One sealed copy for every drive.
    CheckedImage image;
    const FlashCheck checked = CheckTheLoadedImage(plan_, &image);
    if (checked != FlashCheck::Ready) {
        Tell(OneLine(FlashRefusalText(checked, plan_.verdict, ImageSize)) +
             (oneDrive_ ? "" : " Nothing was sent to any drive."));
        return Finish(kExitRefused);
    }
    // Every drive taken before any is written: each drive's process holds
    // its drive, or says why not.
    std::vector<size_t> pending;
    std::vector<Drive> targets;
    for (size_t i = 0; i < drives_.size(); ++i) {
        if (drives_[i].outcome.outcome.ending != FlashEnding::Pending) continue;
        pending.push_back(i);
        targets.push_back(drives_[i].outcome.drive);
    }
    std::vector<std::unique_ptr<Flash>> flashes;
    std::vector<std::string> reasons;
    const std::vector<FlashCheck> checks =
        Flash::Prepare(image, targets, kProgramName, arguments_.restart, &flashes, &reasons);
    for (size_t k = 0; k < pending.size(); ++k) {
        DriveWrite &drive = drives_[pending[k]];
        if (checks[k] == FlashCheck::Ready) {
            drive.flash = std::move(flashes[k]);
            continue;
        }
        drive.outcome.outcome.ending = FlashEnding::NotWritten;
        drive.outcome.outcome.why = OneLine(FlashRefusalText(checks[k], PlanVerdict::Ok, ImageSize, reasons[k]));
        Tell(Of(pending[k]) + drive.outcome.outcome.why);
        Event(pending[k], "not-written");
    }
    if (Flashes().empty()) return AllAnswered();
    Tell(WritingLine(newVersion_, drives_[pending.front()].outcome, oneDrive_, static_cast<int>(Flashes().size()),
                     ImageSize, arguments_.image));
    started_ = true;
    startTime_ = Clock::now();
    timer_.start(kProgressMilliseconds);
    for (size_t i = 0; i < drives_.size(); ++i) {
        if (!drives_[i].flash) continue;
        Event(i, "started", -1, drives_[i].outcome.outcome.blocks);
        drives_[i].flash->Start(*drives_[i].view);
    }
}

void TerminalFrontEnd::ShowProgress() {
    std::vector<std::string> lines;
    for (size_t i = 0; i < drives_.size(); ++i) {
        DriveWrite &drive = drives_[i];
        if (!drive.flash) continue;
        const int count = drive.outcome.outcome.blocks;
        const int accepted = std::min(drive.flash->Followed().BlocksAccepted(), count);
        Progress progress;
        progress.count = count;
        progress.total = bytesAfter_.back();
        progress.milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - startTime_).count();
        while (drive.shown < accepted) {
            ++drive.shown;
            Event(i, "block", drive.shown, count);
            if (terminal_) continue;
            progress.accepted = drive.shown;
            progress.bytes = bytesAfter_[static_cast<size_t>(drive.shown)];
            Tell(Of(i) + ProgressLine(progress));
        }
        progress.accepted = accepted;
        progress.bytes = bytesAfter_[static_cast<size_t>(accepted)];
        // A single drive's bar stays as the answer left it, ended by its
        // result's line.
        if (terminal_ && oneDrive_ && !drive.over) DrawOpenLine(ProgressBar(progress));
        if (!oneDrive_)
            lines.push_back(Address(i) + " " + (drive.answered ? TowerResultText(drive.outcome) : ProgressBar(progress)));
    }
    if (terminal_ && !lines.empty()) DrawOpenLines(lines);
}

void TerminalFrontEnd::Result(size_t index, const FlashOutcome &outcome) {
    BeforeSaying();
    const bool accepted = outcome.ending == FlashEnding::Accepted;
    Event(index, accepted ? "accepted" : "refused", outcome.blocks, outcome.blocks);
    Tell(Of(index) + ResultLine(drives_[index].outcome, accepted, oneDrive_, arguments_.restart) +
         (outcome.told.empty() ? "" : " " + OneLine(outcome.told)));
}

void TerminalFrontEnd::Say(size_t index, const std::string &line, Said said) {
    switch (said) {
    case Said::OfTheFlash: Tell(Of(index) + line); break;
    // What a process says is the system's as much as its drive's: said once.
    case Said::ByItsProcess:
        if (processLines_.insert(line).second) Tell(line);
        break;
    // Said once, naming every drive that ends so, when the program ends.
    case Said::HowItEnds:
        if (Flashes().size() == 1)
            Tell(Of(index) + line);
        else
            endings_[line].insert(index);
        break;
    }
}

void TerminalFrontEnd::StateChanged(size_t index, FlashState state) {
    // The drive has answered and its result is said: the result "box" is
    // closed, or the flash ended early and is idle, or the program ends.
    if (state == FlashState::RestartPending || state == FlashState::Idle || state == FlashState::Ended) {
        if (!restartAsked_) DriveDone(index);
    }
    if (restartAsked_) {
        for (Flash *flash : Flashes())
            if (flash->State() != FlashState::Restarting && flash->State() != FlashState::Idle) return;
        // Accepted (every flash restarting) or refused (every flash idle):
        // not inside the flash's own call.
        QTimer::singleShot(0, &timer_, [this] { Finish(status_); });
    }
}

void TerminalFrontEnd::DriveDone(size_t index) {
    DriveWrite &done = drives_[index];
    if (done.answered) return;
    done.answered = true;
    done.outcome.outcome = done.flash->Followed().Outcome();
    for (const DriveWrite &drive : drives_)
        if (drive.flash && !drive.answered) return;
    if (allAnswered_) return;
    allAnswered_ = true;
    // Not inside the flash's own call, which is still under way.
    QTimer::singleShot(0, &timer_, [this] { AllAnswered(); });
}

std::vector<DriveOutcome> TerminalFrontEnd::Outcomes() const {
    std::vector<DriveOutcome> outcomes;
    for (const DriveWrite &drive : drives_) outcomes.push_back(drive.outcome);
    return outcomes;
}

std::vector<Flash *> TerminalFrontEnd::Flashes() {
    std::vector<Flash *> flashes;
    for (DriveWrite &drive : drives_)
        if (drive.flash) flashes.push_back(drive.flash.get());
    return flashes;
}

// The table, or its JSON line; a single drive has none.
void TerminalFrontEnd::Summarize(int status) {
    if (!oneDrive_ && !drives_.empty())
        Print(arguments_.json ? TowerJson(newVersion_, Outcomes(), status) : TowerTable(newVersion_, Outcomes()));
}

void TerminalFrontEnd::AllAnswered() {
    if (finished_) return;
    ShowProgress();
    timer_.stop();
    // The summary says what the lines said.
    if (terminal_ && !oneDrive_) ClearOpenLines();
    status_ = TowerStatus(Outcomes());
    Summarize(status_);
    if (!started_) return Finish(status_);
    if (status_ == kExitDone && arguments_.restart && !endRequested_) {
        Tell(oneDrive_ ? "asking the system for the restart that finishes the update."
                       : "asking the system for the restart that finishes the update of every drive.");
        restartAsked_ = true;
        if (!Flash::RequestRestart(Flashes(), *this)) Finish(status_);
        return;
    }
    // Each drive's flash says, and records, why no restart was requested.
    const std::string why = endRequested_ ? std::string() : NoRestartCause(oneDrive_, status_, arguments_.restart);
    for (Flash *flash : Flashes()) flash->EndsWithProgram(why);
    Finish(status_);
}

void TerminalFrontEnd::TerminationRequested() {
    if (finished_) return;
    if (!started_) {
        Tell(oneDrive_ ? "asked to end before the flash began: nothing was sent to the drive."
                       : "asked to end before the flash began: nothing was sent to any drive.");
        return Finish(kExitRefused);
    }
    bool held = false;
    for (Flash *flash : Flashes()) held = flash->TakesEndRequest() || held;
    if (held) {
        if (!endRequested_)
            Tell(oneDrive_ ? "asked to end: the flash goes on until the drive has answered its final block; the "
                             "program then ends without a restart."
                           : "asked to end: the flashes go on until every drive has answered its final block; the "
                             "program then ends without a restart.");
        endRequested_ = true;
        return;
    }
    endRequested_ = true;
    if (allAnswered_) Finish(status_ == kExitRefused ? TowerStatus(Outcomes()) : status_);
}

void TerminalFrontEnd::Finish(int status) {
    if (finished_) return;
    finished_ = true;
    status_ = status;
    timer_.stop();
    for (const auto &[line, named] : endings_) {
        std::string drives;
        for (const size_t index : named) drives += (drives.empty() ? "" : ", ") + Address(index);
        Tell(drives + ": " + line);
    }
    QCoreApplication::exit(status);
}

void DriveView::FlashStateChanged(FlashState state) { terminal_.StateChanged(index_, state); }

void DriveView::FinalBlockGoing() {
    terminal_.BeforeSaying();
    terminal_.Event(index_, "final", -1, terminal_.At(index_).outcome.outcome.blocks);
}

void DriveView::TransferOver(const FlashOutcome &) {
    terminal_.ShowProgress();
    terminal_.At(index_).over = true;
}

void DriveView::ShowResult(const FlashOutcome &outcome) { terminal_.Result(index_, outcome); }

void DriveView::ShowEndedEarly(const FlashOutcome &outcome) {
    terminal_.BeforeSaying();
    switch (outcome.ending) {
    case FlashEnding::CutOff:
        terminal_.Event(index_, "cut-off", outcome.block, outcome.blocks);
        terminal_.Say(index_, OneLine(CutOffText(outcome)), Said::OfTheFlash);
        break;
    case FlashEnding::Gone:
        terminal_.Event(index_, "gone", outcome.block, outcome.blocks);
        terminal_.Say(index_, OneLine(EndedEarlyText(outcome)), Said::OfTheFlash);
        break;
    default:
        terminal_.Event(index_, "refused", outcome.block, outcome.blocks);
        terminal_.Say(index_, OneLine(EndedEarlyText(outcome)) +
                                  (outcome.block == 0 ? "" : " Nothing more was sent to it; it may need attention."),
                      Said::OfTheFlash);
        break;
    }
}

void DriveView::Say(const std::string &line, Said said) {
    terminal_.BeforeSaying();
    terminal_.Say(index_, line, said);
}

// A held end request, and the drive has answered: its result is said.
void DriveView::EndProgram() { terminal_.DriveDone(index_); }
}  // namespace

int RunWrite(const CliArguments &arguments) {
    TerminalFrontEnd terminal(arguments);
    if (!terminal.Choose()) return kExitRefused;
    // A question needs someone to read it and to answer.
    if (!arguments.yes && !(IsTerminal(StandardStream::Input) && IsTerminal(StandardStream::Error))) {
        Tell(std::string("not written: there is no terminal to ask whether to write; give --yes to write without "
                         "asking. ") +
             terminal.Nothing());
        return kExitRefused;
    }
    WatchTerminationRequests([&terminal](int) { terminal.TerminationRequested(); });
    QTimer::singleShot(0, [&terminal] { terminal.Ask(); });
    QCoreApplication::exec();
    terminal.FinishAtProgramEnd();
    return terminal.Status();
}
