// write to several drives at once (--all, or --drive more than once, or
// --json): every check of a single write, made for each drive; one question;
// one copy of the image sealed and handed to every drive's flash, each its
// own process, all started together; the progress a line a drive; one
// summary; one restart, once every drive has accepted. A drive that fails a
// check is said on its line and left alone, and the others go on.
#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <memory>
#include <vector>

#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/TowerDrives.h"
#include "cli/Words.h"
#include "download/Flash.h"
#include "download/FlashTexts.h"
#include "platform/Terminal.h"
#include "platform/Termination.h"
#include "state/SharedState.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kProgressMilliseconds = 100;

class Tower;

// One drive's flash as the tower shows it.
class DriveFlash : public FlashFrontEnd {
public:
    DriveFlash(Tower &tower, size_t index) : tower_(tower), index_(index) {}
    void FlashStateChanged(FlashState state) override;
    void FinalBlockGoing() override;
    void TransferOver(bool) override {}
    void ShowResult(bool accepted) override;
    void ShowEndedEarly(int block, int count) override;
    void ShowProcessLost(int block, int count) override;
    void ShowRestartRefused(const char *reason) override;
    void Say(const std::string &line) override;
    const char *Program() const override { return kProgramName; }
    void EndProgram() override;

private:
    Tower &tower_;
    size_t index_;
};

// The restart's answer, said once for every drive.
class RestartAnswer : public FlashFrontEnd {
public:
    explicit RestartAnswer(Tower &tower) : tower_(tower) {}
    void FlashStateChanged(FlashState) override {}
    void FinalBlockGoing() override {}
    void TransferOver(bool) override {}
    void ShowResult(bool) override {}
    void ShowEndedEarly(int, int) override {}
    void ShowProcessLost(int, int) override {}
    void ShowRestartRefused(const char *reason) override;
    void Say(const std::string &line) override { Tell(line); }
    const char *Program() const override { return kProgramName; }
    void EndProgram() override {}

private:
    Tower &tower_;
};

struct Drive {
    ProbedDrive probed;
    DriveOutcome outcome;
    std::unique_ptr<FlashJob> job;
    std::unique_ptr<DriveFlash> view;
    int shown = 0;         // blocks said so far, where each is said on a line
    bool answered = false;  // the drive's answer is in, and said
};

class Tower {
public:
    explicit Tower(const CliArguments &arguments)
        : arguments_(arguments), terminal_(IsTerminal(StandardStream::Error)), restartAnswer_(*this) {
        QObject::connect(&timer_, &QTimer::timeout, [this] { ShowProgress(); });
    }

    // Discovery, the image's checks, and each drive's; false (with the
    // status) when nothing can be written.
    bool Choose(int *status);
    // Nothing to write: the summary says why for each drive.
    void NothingToWrite() {
        if (!drives_.empty()) Summarize();
    }
    void Begin();
    void TerminationRequested();
    int Status() const { return status_; }
    void FinishAtProgramEnd() {
        for (Drive &drive : drives_)
            if (drive.job) drive.job->FinishAtProgramEnd();
    }

    // From the drives' flashes.
    Drive &At(size_t index) { return drives_[index]; }
    void Event(size_t index, const std::string &event, int block = -1, int blocks = -1) {
        if (arguments_.json) Print(EventJson(drives_[index].outcome.address, event, block, blocks));
    }
    void StateChanged(size_t index, FlashState state);
    // Every block the drives have accepted said, before a drive's result.
    void ShowProgress();
    void DriveDone(size_t index);
    void RestartRefused(const char *reason) {
        status_ = kExitRestartRefused;
        Tell(OneLine(RestartRefusedText(reason)));
    }

private:
    void Start();
    void Summarize();
    void AllAnswered();
    void Finish(int status);
    std::vector<DriveOutcome> Outcomes() const;
    std::vector<FlashJob *> Jobs() {
        std::vector<FlashJob *> jobs;
        for (Drive &drive : drives_)
            if (drive.job) jobs.push_back(drive.job.get());
        return jobs;
    }

    const CliArguments &arguments_;
    const bool terminal_;
    RestartAnswer restartAnswer_;
    std::vector<Drive> drives_;  // in the order given (--all: discovery's)
    std::string newVersion_;
    std::vector<int64_t> bytesAfter_;  // the image's bytes in the first k blocks
    QTimer timer_;
    Clock::time_point startTime_;
    int status_ = kExitRefused;
    bool asking_ = false;
    bool started_ = false;
    bool endRequested_ = false;
    bool allAnswered_ = false;
    bool restartAsked_ = false;
    bool finished_ = false;
};

bool Tower::Choose(int *status) {
    *status = kExitRefused;
    std::vector<ProbedDrive> found;
    if (!FindTheDrives(&found)) return false;
    if (!LoadImageAt(arguments_.image, false)) return false;
    BlockPlan plan;
    if (!PlanTheLoadedImage(&plan)) return false;
    newVersion_ = Printable(std::string(ImageVersion, 4));
    bytesAfter_.push_back(0);
    for (const BlockStep &step : plan.steps) bytesAfter_.push_back(bytesAfter_.back() + step.length);

    std::string others;
    for (TowerDrive &chosen : ChooseTowerDrives(found, arguments_.drives, arguments_.all, ImageModel, &others)) {
        if (chosen.outcome.result == DriveOutcome::Result::RefusedBefore)
            Tell(chosen.outcome.address + ": " + chosen.outcome.why + " Nothing was sent to it.");
        drives_.push_back({chosen.probed, chosen.outcome, nullptr, nullptr});
    }
    if (!others.empty()) Tell("left alone, another model: " + others + ".");
    if (arguments_.all && drives_.empty()) {
        Tell("Drive Not Found!! No listed drive is a " + Printable(std::string(ImageModel, 24)) +
             ", the image's model. Nothing was sent to any drive.");
        return false;
    }
    for (size_t i = 0; i < drives_.size(); ++i) {
        drives_[i].outcome.blocks = static_cast<int>(plan.steps.size());
        drives_[i].view = std::make_unique<DriveFlash>(*this, i);
        if (drives_[i].outcome.result == DriveOutcome::Result::RefusedBefore) Event(i, "not-written");
    }
    for (const Drive &drive : drives_)
        if (drive.outcome.result == DriveOutcome::Result::Pending) return true;
    return false;
}

void Tower::Begin() {
    if (arguments_.yes) return Start();
    std::vector<DriveOutcome> toWrite;
    for (const Drive &drive : drives_)
        if (drive.outcome.result == DriveOutcome::Result::Pending) toWrite.push_back(drive.outcome);
    const std::vector<std::string> question = TowerQuestion(newVersion_, toWrite);
    for (size_t i = 0; i + 1 < question.size(); ++i) Tell(question[i]);
    asking_ = true;
    AskOnOpenLine(question.back());
    const bool watching = ReadLineFromInput([this](const std::optional<std::string> &answer) {
        if (answer) OpenLineEnded();
        if (!asking_) return;
        asking_ = false;
        if (!answer || !IsYes(*answer)) {
            Tell("not written: the answer was not yes. Nothing was sent to any drive.");
            return Finish(kExitRefused);
        }
        Start();
    });
    if (!watching) {
        asking_ = false;
        Tell("not written: the answer cannot be read. Nothing was sent to any drive.");
        Finish(kExitRefused);
    }
}

void Tower::Start() {
    // One sealed copy for every drive.
    CheckedImage image;
    PlanVerdict verdict = PlanVerdict::Ok;
    const FlashCheck checked = CheckTheLoadedImage(&image, &verdict);
    if (checked != FlashCheck::Ready) {
        Tell(OneLine(FlashRefusalText(checked, verdict, ImageSize)) + " Nothing was sent to any drive.");
        return Finish(kExitRefused);
    }
    // Every drive taken before any is written: each drive's process holds
    // its drive, or says why not.
    std::vector<size_t> pending;
    std::vector<FlashDrive> targets;
    for (size_t i = 0; i < drives_.size(); ++i) {
        const Drive &drive = drives_[i];
        if (drive.outcome.result != DriveOutcome::Result::Pending) continue;
        FlashDrive target;
        target.adapter = drive.probed.adapter;
        target.target = drive.probed.target;
        target.model = drive.probed.identification.substr(0, 24);
        target.revision = drive.probed.identification.substr(24, 4);
        pending.push_back(i);
        targets.push_back(target);
    }
    std::vector<std::unique_ptr<FlashJob>> jobs;
    std::vector<std::string> reasons;
    const std::vector<FlashCheck> checks = FlashJob::PrepareAll(image, targets, kProgramName, &jobs, &reasons);
    for (size_t k = 0; k < pending.size(); ++k) {
        Drive &drive = drives_[pending[k]];
        if (checks[k] == FlashCheck::Ready) {
            drive.job = std::move(jobs[k]);
            continue;
        }
        drive.outcome.result = DriveOutcome::Result::RefusedBefore;
        drive.outcome.why = OneLine(FlashRefusalText(checks[k], PlanVerdict::Ok, ImageSize, reasons[k]));
        Tell(drive.outcome.address + ": " + drive.outcome.why);
        Event(pending[k], "not-written");
    }
    if (Jobs().empty()) {
        AllAnswered();
        return;
    }
    Tell("writing firmware " + newVersion_ + " into " + std::to_string(Jobs().size()) + " drives at once: " +
         std::to_string(bytesAfter_.size() - 1) + " blocks, " + std::to_string(ImageSize) + " bytes of " +
         arguments_.image + " each.");
    started_ = true;
    startTime_ = Clock::now();
    BusyFlag.store(1, std::memory_order_release);
    timer_.start(kProgressMilliseconds);
    for (size_t i = 0; i < drives_.size(); ++i) {
        if (!drives_[i].job) continue;
        Event(i, "started", -1, drives_[i].outcome.blocks);
        drives_[i].job->Start(*drives_[i].view);
    }
}

void Tower::ShowProgress() {
    std::vector<std::string> lines;
    for (size_t i = 0; i < drives_.size(); ++i) {
        Drive &drive = drives_[i];
        if (!drive.job) continue;
        const int count = drive.outcome.blocks;
        const int accepted = std::min(drive.job->BlocksAccepted(), count);
        Progress progress;
        progress.count = count;
        progress.total = bytesAfter_.back();
        progress.milliseconds =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - startTime_).count();
        while (drive.shown < accepted) {
            ++drive.shown;
            Event(i, "block", drive.shown, count);
            if (terminal_) continue;
            progress.accepted = drive.shown;
            progress.bytes = bytesAfter_[static_cast<size_t>(drive.shown)];
            Tell(drive.outcome.address + ": " + ProgressLine(progress));
        }
        progress.accepted = accepted;
        progress.bytes = bytesAfter_[static_cast<size_t>(accepted)];
        lines.push_back(drive.outcome.address + " " +
                        (drive.answered ? ResultText(drive.outcome) : ProgressBar(progress)));
    }
    if (terminal_ && !lines.empty()) DrawOpenLines(lines);
}

void Tower::StateChanged(size_t index, FlashState state) {
    // The drive has answered and its result is said: the result "box" is
    // closed, or the flash ended early and is idle, or the program ends.
    if (state == FlashState::RestartPending || state == FlashState::Idle || state == FlashState::Ended) {
        if (!restartAsked_) DriveDone(index);
    }
    if (restartAsked_) {
        for (Drive &drive : drives_)
            if (drive.job && drive.job->State() != FlashState::Restarting && drive.job->State() != FlashState::Idle)
                return;
        // Accepted (every flash restarting) or refused (every flash idle):
        // not inside the flash's own call.
        QTimer::singleShot(0, &timer_, [this] { Finish(status_); });
    }
}

void Tower::DriveDone(size_t index) {
    Drive &done = drives_[index];
    if (done.answered) return;
    done.answered = true;
    switch (done.job->DriveAnswer()) {
    case FlashJob::Answer::Accepted: done.outcome.result = DriveOutcome::Result::Accepted; break;
    case FlashJob::Answer::Refused: done.outcome.result = DriveOutcome::Result::Refused; break;
    case FlashJob::Answer::Lost: done.outcome.result = DriveOutcome::Result::Lost; break;
    case FlashJob::Answer::Pending: break;
    }
    done.outcome.block = done.job->AnswerBlock();
    for (const Drive &drive : drives_)
        if (drive.job && !drive.answered) return;
    if (allAnswered_) return;
    allAnswered_ = true;
    // Not inside the flash's own call, which is still under way.
    QTimer::singleShot(0, &timer_, [this] { AllAnswered(); });
}

std::vector<DriveOutcome> Tower::Outcomes() const {
    std::vector<DriveOutcome> outcomes;
    for (const Drive &drive : drives_) outcomes.push_back(drive.outcome);
    return outcomes;
}

void Tower::Summarize() {
    if (arguments_.json)
        Print(TowerJson(newVersion_, Outcomes(), TowerStatus(Outcomes())));
    else
        Print(TowerTable(newVersion_, Outcomes()));
}

void Tower::AllAnswered() {
    if (finished_) return;
    ShowProgress();
    timer_.stop();
    // The summary says what the lines said.
    if (terminal_) ClearOpenLines();
    status_ = TowerStatus(Outcomes());
    Summarize();
    if (!started_) return Finish(status_);
    if (status_ == kExitDone && arguments_.restart && !endRequested_) {
        // BusyFlag 0 was set as each result was said.
        Tell("asking the system for the restart that finishes the update of every drive.");
        restartAsked_ = true;
        if (!RequestRestartAfterFlashes(Jobs(), restartAnswer_)) Finish(status_);
        return;
    }
    const std::string why = endRequested_         ? std::string()
                            : !arguments_.restart ? "--restart was not given"
                                                  : "not every drive accepted its flash";
    // Each drive's flash says, and records, why no restart was requested.
    for (FlashJob *job : Jobs()) job->EndsWithProgram(why);
    Finish(status_);
}

void Tower::TerminationRequested() {
    if (finished_) return;
    if (!started_) {
        asking_ = false;
        Tell("asked to end before the flash began: nothing was sent to any drive.");
        return Finish(kExitRefused);
    }
    bool held = false;
    for (FlashJob *job : Jobs()) held = job->TakesEndRequest() || held;
    if (held) {
        if (!endRequested_)
            Tell("asked to end: the flashes go on until every drive has answered its final block; the program then "
                 "ends without a restart.");
        endRequested_ = true;
        return;
    }
    endRequested_ = true;
    if (allAnswered_) Finish(status_ == kExitRefused && started_ ? TowerStatus(Outcomes()) : status_);
}

void Tower::Finish(int status) {
    if (finished_) return;
    finished_ = true;
    status_ = status;
    timer_.stop();
    QCoreApplication::exit(status);
}

void DriveFlash::FlashStateChanged(FlashState state) { tower_.StateChanged(index_, state); }

void DriveFlash::FinalBlockGoing() {
    tower_.ShowProgress();
    tower_.Event(index_, "final", -1, tower_.At(index_).outcome.blocks);
}

void DriveFlash::ShowResult(bool accepted) {
    tower_.ShowProgress();
    const DriveOutcome &outcome = tower_.At(index_).outcome;
    tower_.Event(index_, accepted ? "accepted" : "refused", outcome.blocks, outcome.blocks);
    if (accepted)
        Tell(outcome.address + ": DOWNLOAD OK!! The drive accepted all " + std::to_string(outcome.blocks) + " blocks.");
    else
        Tell(outcome.address + ": DOWNLOAD FAIL!! The drive refused the final block (" +
             std::to_string(outcome.blocks) + " of " + std::to_string(outcome.blocks) + "); it may need attention.");
}

void DriveFlash::ShowEndedEarly(int block, int count) {
    tower_.ShowProgress();
    tower_.Event(index_, "refused", block, count);
    Tell(tower_.At(index_).outcome.address + ": " + OneLine(EndedEarlyText(block, count)) +
         (block == 0 ? "" : " Nothing more was sent to it; it may need attention."));
}

void DriveFlash::ShowProcessLost(int block, int count) {
    tower_.ShowProgress();
    tower_.Event(index_, "cut-off", block, count);
    Tell(tower_.At(index_).outcome.address + ": " + OneLine(ProcessLostText(block, count)));
}

void DriveFlash::ShowRestartRefused(const char *) {}

void DriveFlash::Say(const std::string &line) {
    tower_.ShowProgress();
    Tell(tower_.At(index_).outcome.address + ": " + line);
}

// A held end request, and the drive has answered: its result is said.
void DriveFlash::EndProgram() { tower_.DriveDone(index_); }

void RestartAnswer::ShowRestartRefused(const char *reason) { tower_.RestartRefused(reason); }
}  // namespace

int RunTowerWrite(const CliArguments &arguments) {
    Tower tower(arguments);
    int status = kExitRefused;
    if (!tower.Choose(&status)) {
        tower.NothingToWrite();
        return status;
    }
    const bool terminal = IsTerminal(StandardStream::Input) && IsTerminal(StandardStream::Error);
    if (!arguments.yes && !terminal) {
        Tell("not written: there is no terminal to ask whether to write; give --yes to write without asking. Nothing "
             "was sent to any drive.");
        return kExitRefused;
    }
    WatchTerminationRequests([&tower](int) { tower.TerminationRequested(); });
    QTimer::singleShot(0, [&tower] { tower.Begin(); });
    QCoreApplication::exec();
    // The message loop is over: every flash's process is told that its drive
    // may go, or goes on alone with a flash still written.
    tower.FinishAtProgramEnd();
    return tower.Status();
}
