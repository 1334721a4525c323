// The terminal as the front end of any number of flashes; see
// TerminalFrontEnd.h.
#include "cli/TerminalFrontEnd.h"

#include <QCoreApplication>
#include <algorithm>

#include "cli/Console.h"
#include "cli/Words.h"
#include "channel/FlashTexts.h"
#include "platform/Terminal.h"

namespace {
// How often the progress is looked at: BlocksAccepted() is read, never
// waited for, so the flash's pace is the drive's alone.
constexpr int kProgressMilliseconds = 100;
}  // namespace

std::vector<int64_t> BytesAfterBlocks(int64_t size, int blockKb, int blocks) {
    std::vector<int64_t> after{0};
    for (int k = 1; k < blocks; ++k) after.push_back(std::min<int64_t>(size, int64_t{k} * blockKb * 1024));
    if (blocks > 0) after.push_back(size);
    return after;
}

TerminalFrontEnd::TerminalFrontEnd(bool oneDrive, bool json, bool restart, std::string version)
    : oneDrive_(oneDrive),
      json_(json),
      restart_(restart),
      terminal_(IsTerminal(StandardStream::Error)),
      version_(std::move(version)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { ShowProgress(); });
}

size_t TerminalFrontEnd::Add(DriveOutcome drive, std::vector<int64_t> bytesAfter) {
    const size_t index = drives_.size();
    DriveWrite added;
    added.outcome = std::move(drive);
    added.view = std::make_unique<DriveView>(*this, index);
    added.bytesAfter = std::move(bytesAfter);
    added.outcome.outcome.blocks = static_cast<int>(added.bytesAfter.size()) - 1;
    drives_.push_back(std::move(added));
    return index;
}

void TerminalFrontEnd::Event(size_t index, const std::string &event, int block, int blocks) {
    if (json_) Print(EventJson(Address(index), event, block, blocks));
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

void TerminalFrontEnd::Begin(const char *event) {
    began_ = true;
    timer_.start(kProgressMilliseconds);
    for (size_t i = 0; i < drives_.size(); ++i) {
        DriveWrite &drive = drives_[i];
        if (!drive.flash) continue;
        // A flash found under way is shown from where it stands, its time
        // counted from its own start (Watch.cpp).
        drive.shown = drive.flash->Followed().BlocksAccepted();
        if (!drive.flash->FoundUnderWay()) drive.began = DriveWrite::Clock::now();
        Event(i, event, drive.flash->FoundUnderWay() ? drive.shown : -1, drive.outcome.outcome.blocks);
        drive.flash->Start(*drive.view);
    }
}

void TerminalFrontEnd::NothingToShow() { AllAnswered(); }

void TerminalFrontEnd::ShowProgress() {
    std::vector<std::string> lines;
    for (size_t i = 0; i < drives_.size(); ++i) {
        DriveWrite &drive = drives_[i];
        if (!drive.flash) continue;
        const int count = drive.outcome.outcome.blocks;
        const int accepted = std::min(drive.flash->Followed().BlocksAccepted(), count);
        Progress progress;
        progress.count = count;
        progress.total = drive.bytesAfter.back();
        progress.milliseconds =
            std::chrono::duration_cast<std::chrono::milliseconds>(DriveWrite::Clock::now() - drive.began).count();
        while (drive.shown < accepted) {
            ++drive.shown;
            Event(i, "block", drive.shown, count);
            if (terminal_) continue;
            progress.accepted = drive.shown;
            progress.bytes = drive.bytesAfter[static_cast<size_t>(drive.shown)];
            Tell(Of(i) + ProgressLine(progress));
        }
        progress.accepted = accepted;
        progress.bytes = drive.bytesAfter[static_cast<size_t>(accepted)];
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
    Tell(Of(index) + ResultLine(drives_[index].outcome, accepted, oneDrive_, drives_[index].restartFollows) +
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

void TerminalFrontEnd::Say(const std::string &line) { Tell(line); }

void TerminalFrontEnd::ShowRestartRefused(const char *reason) {
    status_ = kExitRestartRefused;
    Tell(OneLine(RestartRefusedText(reason)));
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

// The table, or its JSON line; a single drive has none.
void TerminalFrontEnd::Summarize(int status) {
    if (!oneDrive_ && !drives_.empty())
        Print(json_ ? TowerJson(version_, Outcomes(), status) : TowerTable(version_, Outcomes()));
}

void TerminalFrontEnd::AllAnswered() {
    if (finished_) return;
    ShowProgress();
    timer_.stop();
    // The summary says what the lines said.
    if (terminal_ && !oneDrive_) ClearOpenLines();
    status_ = TowerStatus(Outcomes());
    Summarize(status_);
    if (!began_) return Finish(status_);
    if (status_ == kExitDone && restart_ && !endRequested_) {
        std::vector<Flash *> awaiting;
        for (Flash *flash : Flashes())
            if (flash->State() == FlashState::RestartPending) awaiting.push_back(flash);
        if (!awaiting.empty()) {
            Tell(oneDrive_ ? "asking the system for the restart that finishes the update."
                           : "asking the system for the restart that finishes the update of every drive.");
            restartAsked_ = true;
            if (!Flash::RequestRestart(Flashes(), *this)) Finish(status_);
            return;
        }
    }
    // Each drive's flash says, and records, why no restart was requested.
    const std::string why = endRequested_ ? std::string() : NoRestartCause(oneDrive_, status_, restart_);
    for (Flash *flash : Flashes()) flash->EndsWithProgram(why);
    Finish(status_);
}

void TerminalFrontEnd::HoldEndRequest() {
    if (finished_) return;
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

void TerminalFrontEnd::FinishAtProgramEnd() {
    for (DriveWrite &drive : drives_)
        if (drive.flash) drive.flash->FinishAtProgramEnd();
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
