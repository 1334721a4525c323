// write: the flash from a terminal. Everything the window checks before
// Down, the question (or --yes), then the flash itself, which is the same
// object as the window's (download/Flash.h) with the terminal as its front
// end. The message loop runs from the question to the flash's end: it reads
// the answer, the termination requests, the flash's process's lines and logind's
// answer to the restart; a timer on it shows the progress.
#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <vector>

#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/Words.h"
#include "download/Flash.h"
#include "download/FlashTexts.h"
#include "platform/Terminal.h"
#include "platform/Termination.h"
#include "state/SharedState.h"

namespace {
using Clock = std::chrono::steady_clock;
// How often the progress is looked at: BlocksAccepted() is read, never
// waited for, so the flash's pace is the drive's alone.
constexpr int kProgressMilliseconds = 100;

class TerminalFlash : public FlashFrontEnd {
public:
    TerminalFlash(const CliArguments &arguments, const BlockPlan &plan, bool terminal)
        : arguments_(arguments), terminal_(terminal), count_(static_cast<int>(plan.steps.size())) {
        bytesAfter_.push_back(0);
        for (const BlockStep &step : plan.steps) bytesAfter_.push_back(bytesAfter_.back() + step.length);
        address_ = AddressText(SelectedAdapter, SelectedTarget);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
    }

    int Status() const { return status_; }

    void Begin() {
        if (arguments_.yes) {
            Start();
            return;
        }
        asking_ = true;
        AskOnOpenLine(ConsentQuestion(Printable(std::string(ImageVersion, 4)), Printable(std::string(DriveModel, 24)),
                                      address_, Printable(std::string(DriveVersion, 4))));
        const bool watching = ReadLineFromInput([this](const std::optional<std::string> &answer) {
            if (answer) OpenLineEnded();  // the user's Enter ended the line
            if (!asking_) return;
            asking_ = false;
            if (!answer || !IsYes(*answer)) {
                Tell("not written: the answer was not yes. Nothing was sent to the drive.");
                Finish(kExitRefused);
                return;
            }
            Start();
        });
        if (!watching) {
            asking_ = false;
            Tell("not written: the answer cannot be read. Nothing was sent to the drive.");
            Finish(kExitRefused);
        }
    }

    // SIGTERM, SIGINT, SIGHUP, read on the message loop.
    void TerminationRequested() {
        if (finished_) return;
        if (!started_) {
            asking_ = false;
            Tell("asked to end before the flash began: nothing was sent to the drive.");
            Finish(kExitRefused);
            return;
        }
        if (FlashTakesEndRequest()) {
            if (!toldHeld_)
                Tell("asked to end: the flash goes on until the drive has answered its final block; the program then "
                     "ends without a restart.");
            toldHeld_ = true;
            return;
        }
        Finish(status_);
    }

    void FlashStateChanged(FlashState state) override {
        switch (state) {
        case FlashState::RestartPending:
            // Not inside the flash's own call, which is still under way.
            QTimer::singleShot(0, &timer_, [this] { AfterResult(); });
            break;
        case FlashState::Restarting:
        case FlashState::Idle: Finish(status_); break;
        default: break;
        }
    }

    void FinalBlockGoing() override {}

    void TransferOver(bool accepted) override {
        status_ = accepted ? kExitDone : kExitDriveFailed;
        ShowProgress();
        transferOver_ = true;
    }

    void ShowResult(bool accepted) override {
        if (accepted)
            Tell("DOWNLOAD OK!! The drive at " + address_ + " accepted all " + std::to_string(count_) + " blocks; " +
                 (arguments_.restart ? "the restart that finishes the update follows." : "a restart finishes the update."));
        else
            Tell("DOWNLOAD FAIL!! The drive at " + address_ + " refused the final block (" + std::to_string(count_) +
                 " of " + std::to_string(count_) + "); it may need attention.");
    }

    void ShowEndedEarly(int block, int count) override {
        status_ = block == 0 ? kExitRefused : kExitDriveFailed;
        Tell(OneLine(EndedEarlyText(block, count)) +
             (block == 0 ? "" : " Nothing more was sent to it; it may need attention."));
    }

    void ShowProcessLost(int block, int count) override {
        status_ = kExitDriveFailed;
        Tell(OneLine(ProcessLostText(block, count)));
    }

    void ShowRestartRefused(const char *reason) override {
        status_ = kExitRestartRefused;
        Tell(OneLine(RestartRefusedText(reason)));
    }

    void Say(const std::string &line) override { Tell(line); }

    const char *Program() const override { return kProgramName; }

    void EndProgram() override { Finish(status_); }

private:
    void Start() {
        PlanVerdict verdict = PlanVerdict::Ok;
        const FlashCheck check = PrepareFlash(kProgramName, &verdict);
        if (check != FlashCheck::Ready) {
            Tell(OneLine(FlashRefusalText(check, verdict, ImageSize)));
            Finish(kExitRefused);
            return;
        }
        Tell("writing firmware " + Printable(std::string(ImageVersion, 4)) + " into " +
             Printable(std::string(DriveModel, 24)) + " at " + address_ + " (now " +
             Printable(std::string(DriveVersion, 4)) + "): " + std::to_string(count_) + " blocks, " +
             std::to_string(ImageSize) + " bytes of " + arguments_.image + ".");
        started_ = true;
        // From here a flash that ends early may have left the drive in need
        // of attention.
        status_ = kExitDriveFailed;
        startTime_ = Clock::now();
        BusyFlag.store(1, std::memory_order_release);
        timer_.start(kProgressMilliseconds);
        StartFlash(*this);
    }

    void Tick() {
        if (!transferOver_) ShowProgress();
        // BusyFlag 0: the result has been said, the restart may be asked.
        if (waitingForRestart_ && BusyFlag.load(std::memory_order_acquire) == 0) {
            waitingForRestart_ = false;
            Tell("asking the system for the restart that finishes the update.");
            if (!RequestRestartAfterFlash(*this)) Finish(status_);
        }
    }

    void ShowProgress() {
        const int accepted = std::min(BlocksAccepted(), count_);
        const auto at = [this](int blocks) {
            Progress progress;
            progress.accepted = blocks;
            progress.count = count_;
            progress.bytes = bytesAfter_[static_cast<size_t>(blocks)];
            progress.total = bytesAfter_.back();
            progress.milliseconds =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - startTime_).count();
            return progress;
        };
        if (terminal_) {
            DrawOpenLine(ProgressBar(at(accepted)));
            return;
        }
        while (shown_ < accepted) Tell(ProgressLine(at(++shown_)));
    }

    // The drive has answered the final block and the result is said.
    void AfterResult() {
        if (finished_) return;
        if (status_ == kExitDone && arguments_.restart) {
            waitingForRestart_ = true;
            return;
        }
        FlashEndsWithProgram(status_ == kExitDone ? "--restart was not given" : "the drive refused the final block");
        Finish(status_);
    }

    void Finish(int status) {
        if (finished_) return;
        finished_ = true;
        status_ = status;
        timer_.stop();
        QCoreApplication::exit(status);
    }

    const CliArguments &arguments_;
    const bool terminal_;
    const int count_;
    std::vector<int64_t> bytesAfter_;  // the image's bytes in the first k blocks
    std::string address_;
    QTimer timer_;
    Clock::time_point startTime_;
    int status_ = kExitRefused;
    int shown_ = 0;
    bool asking_ = false;
    bool started_ = false;
    bool transferOver_ = false;
    bool waitingForRestart_ = false;
    bool toldHeld_ = false;
    bool finished_ = false;
};
}  // namespace

int RunWrite(const CliArguments &arguments) {
    if (arguments.all || arguments.drives.size() > 1 || arguments.json) return RunTowerWrite(arguments);
    if (!SelectDriveAt(arguments.drives.front())) return kExitRefused;
    if (!LoadImageAt(arguments.image, true)) return kExitRefused;
    BlockPlan plan;
    if (!PlanTheLoadedImage(&plan)) return kExitRefused;
    // A question needs someone to read it and to answer.
    const bool terminal = IsTerminal(StandardStream::Input) && IsTerminal(StandardStream::Error);
    if (!arguments.yes && !terminal) {
        Tell("not written: there is no terminal to ask whether to write; give --yes to write without asking. Nothing "
             "was sent to the drive.");
        return kExitRefused;
    }

    TerminalFlash flash(arguments, plan, IsTerminal(StandardStream::Error));
    WatchTerminationRequests([&flash](int) { flash.TerminationRequested(); });
    QTimer::singleShot(0, [&flash] { flash.Begin(); });
    QCoreApplication::exec();
    // The message loop is over: the flash's process is told that the drive
    // may go, or goes on alone with a flash still written.
    FinishFlashAtProgramEnd();
    return flash.Status();
}
