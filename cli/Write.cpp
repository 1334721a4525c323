// write: the flash from a terminal, to one drive or to several at once (a
// tower; one drive is a tower of one). Every check the window makes before
// Down, for each drive (one that fails is said and left alone); one question
// (or --yes); one sealed copy of the image for every drive's flash, each its
// own process, all started together (flash/Flash.h); then the terminal's one
// front end (TerminalFrontEnd.h) shows them to the end. The message loop runs
// from the question to the end. One drive named with --drive, without
// --json, is said in words of its own (its question, its bar, no address);
// every other write in a tower's (a line a drive, the table or the JSON
// lines).
#include <QCoreApplication>
#include <QTimer>
#include <memory>
#include <vector>

#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/TerminalFrontEnd.h"
#include "cli/TowerDrives.h"
#include "cli/Words.h"
#include "channel/FlashTexts.h"
#include "drive/Drive.h"
#include "flash/Flash.h"
#include "platform/Terminal.h"
#include "platform/Termination.h"
#include "state/SharedState.h"

namespace {
class WriteCommand {
public:
    explicit WriteCommand(const CliArguments &arguments)
        : arguments_(arguments),
          terminal_(!arguments.all && arguments.drives.size() == 1 && !arguments.json, arguments.json,
                    arguments.restart, {}) {}

    // Discovery, the image's checks, and each drive's; false when nothing
    // can be written (each refusal said).
    bool Choose();
    // The question, or --yes.
    void Ask();
    // SIGTERM, SIGINT, SIGHUP, read on the message loop.
    void TerminationRequested();
    TerminalFrontEnd &Terminal() { return terminal_; }

private:
    void Start();
    const CliArguments &arguments_;
    TerminalFrontEnd terminal_;
    BlockPlan plan_;  // the image's, made once
};

bool WriteCommand::Choose() {
    std::vector<DriveOutcome> chosen;
    if (!ChooseDrivesToWrite(arguments_, terminal_.OneDrive(), &chosen, &plan_)) return false;
    terminal_.SetVersion(Printable(std::string_view(ImageVersion, 4)));
    std::vector<int64_t> bytesAfter{0};
    for (const BlockStep &step : plan_.steps) bytesAfter.push_back(bytesAfter.back() + step.length);
    bool pending = false;
    for (DriveOutcome &drive : chosen) {
        const size_t index = terminal_.Add(std::move(drive), bytesAfter);
        const FlashEnding ending = terminal_.At(index).outcome.outcome.ending;
        terminal_.At(index).restartFollows = arguments_.restart;
        if (ending == FlashEnding::NotWritten) terminal_.Event(index, "not-written");
        pending = pending || ending == FlashEnding::Pending;
    }
    if (pending) return true;
    // Nothing to write: the summary says why for each drive.
    terminal_.NothingToShow();
    return false;
}

void WriteCommand::Ask() {
    if (arguments_.yes) return Start();
    std::vector<std::string> question;
    if (terminal_.OneDrive()) {
        const Drive &drive = terminal_.At(0).outcome.drive;
        question.push_back(ConsentQuestion(terminal_.Version(), Printable(drive.identity.Model()),
                                           AddressText(drive.address), Printable(drive.identity.revision)));
    } else {
        std::vector<DriveOutcome> toWrite;
        for (const DriveOutcome &drive : terminal_.Outcomes())
            if (drive.outcome.ending == FlashEnding::Pending) toWrite.push_back(drive);
        question = TowerQuestion(terminal_.Version(), toWrite);
    }
    AskOnTerminal(question, [this](std::optional<bool> yes) {
        if (terminal_.Finished()) return;  // asked to end meanwhile
        if (yes && *yes) return Start();
        Tell(std::string(yes ? "not written: the answer was not yes. " : "not written: the answer cannot be read. ") +
             terminal_.Nothing());
        terminal_.Finish(kExitRefused);
    });
}

void WriteCommand::Start() {
    // One sealed copy for every drive.
    CheckedImage image;
    const FlashCheck checked = CheckTheLoadedImage(plan_, &image);
    if (checked != FlashCheck::Ready) {
        Tell(OneLine(FlashRefusalText(checked, plan_.verdict, ImageSize)) +
             (terminal_.OneDrive() ? "" : " Nothing was sent to any drive."));
        return terminal_.Finish(kExitRefused);
    }
    // Every drive taken before any is written: each drive's process holds
    // its drive, or says why not.
    std::vector<size_t> pending;
    std::vector<Drive> targets;
    for (size_t i = 0; i < terminal_.Count(); ++i) {
        if (terminal_.At(i).outcome.outcome.ending != FlashEnding::Pending) continue;
        pending.push_back(i);
        targets.push_back(terminal_.At(i).outcome.drive);
    }
    std::vector<std::unique_ptr<Flash>> flashes;
    std::vector<std::string> reasons;
    const std::vector<FlashCheck> checks =
        Flash::Prepare(image, targets, kProgramName, arguments_.restart, &flashes, &reasons);
    for (size_t k = 0; k < pending.size(); ++k) {
        DriveWrite &drive = terminal_.At(pending[k]);
        if (checks[k] == FlashCheck::Ready) {
            drive.flash = std::move(flashes[k]);
            continue;
        }
        drive.outcome.outcome.ending = FlashEnding::NotWritten;
        drive.outcome.outcome.why = OneLine(FlashRefusalText(checks[k], PlanVerdict::Ok, ImageSize, reasons[k]));
        Tell(terminal_.Of(pending[k]) + drive.outcome.outcome.why);
        terminal_.Event(pending[k], "not-written");
    }
    if (terminal_.Flashes().empty()) return terminal_.NothingToShow();
    Tell(WritingLine(terminal_.Version(), terminal_.At(pending.front()).outcome, terminal_.OneDrive(),
                     static_cast<int>(terminal_.Flashes().size()), ImageSize, arguments_.image));
    terminal_.Begin("started");
}

void WriteCommand::TerminationRequested() {
    if (terminal_.Finished()) return;
    if (!terminal_.Began()) {
        Tell(terminal_.OneDrive() ? "asked to end before the flash began: nothing was sent to the drive."
                                  : "asked to end before the flash began: nothing was sent to any drive.");
        return terminal_.Finish(kExitRefused);
    }
    terminal_.HoldEndRequest();
}
}  // namespace

int RunWrite(const CliArguments &arguments) {
    WriteCommand write(arguments);
    if (!write.Choose()) return kExitRefused;
    // A question needs someone to read it and to answer.
    if (!arguments.yes && !(IsTerminal(StandardStream::Input) && IsTerminal(StandardStream::Error))) {
        Tell(std::string("not written: there is no terminal to ask whether to write; give --yes to write without "
                         "asking. ") +
             write.Terminal().Nothing());
        return kExitRefused;
    }
    WatchTerminationRequests([&write](int) { write.TerminationRequested(); });
    QTimer::singleShot(0, [&write] { write.Ask(); });
    QCoreApplication::exec();
    write.Terminal().FinishAtProgramEnd();
    return write.Terminal().Status();
}
