// A flash as its front end follows it: the flash's process started with
// the figures and the sealed copy, the drive awaited, then every line the
// process tells acted on, in order, on the user-interface loop.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "download/FlashParts.h"
#include "platform/System.h"
#include "state/SharedState.h"

using namespace flashparts;

namespace {
// The process takes the drive within milliseconds (it starts, binds the
// manager and asks for the drive's lock without waiting); a process that has
// not answered by then never writes the drive: it waits for StartFlash.
constexpr int kHeldWaitMilliseconds = 10000;
// Flashes' processes let go before they had ended, to be collected later.
// Never destroyed, as the window's flash is not: a process still running at the
// program's end is the system's to collect.
std::vector<HANDLE> &Unreaped = *new std::vector<HANDLE>;
}  // namespace

void flashparts::CollectEndedProcesses() {
    std::string how;
    for (auto i = Unreaped.begin(); i != Unreaped.end();)
        i = FlashProcessEnded(*i, 0, &how) ? Unreaped.erase(i) : i + 1;
}

void flashparts::Tell(Flash &flash, FrontEndWord word) {
    FrontEndMessage message;
    message.word = word;
    // A process that has gone is found by the channel's end, not here.
    (void)flash.channel.Send(EncodeFrontEndMessage(message) + "\n");
}

// The drive may go: the flash is over, for this program.
void flashparts::Release(Flash &flash) {
    if (flash.releaseSent || !flash.channel.Open()) return;
    flash.releaseSent = true;
    Tell(flash, FrontEndWord::Release);
}

void flashparts::Enter(Flash &flash, FlashEvent event) {
    const FlashState next = NextFlashState(flash.state, event);
    if (next == flash.state) return;
    flash.state = next;
    // The drive is held until the flash is over: a flash of another program
    // started while the restart this one asked for is pending would be cut
    // by it. A flash that ends with the program keeps it to the end.
    if (next == FlashState::Idle) Release(flash);
    if (flash.frontEnd != nullptr) flash.frontEnd->FlashStateChanged(next);
}

void flashparts::Record(Flash &flash, RecordEvent event, int block, const std::string &detail) {
    FlashRecord entry = flash.record;
    entry.event = event;
    entry.time = UtcTimestamp();
    entry.boot = BootId();
    entry.block = block;
    entry.detail = detail;
    AppendFlashRecord(entry, [&flash](const std::string &line) { flash.frontEnd->Say(line); });
}

std::string flashparts::NoRestartLine(const Flash &flash) {
    return flash.endCause + ": no restart was requested. Restart the computer to finish.";
}

// The channel closed, the process let go: it has ended or is about to. Its
// exit is collected (waited for up to `wait` ms; else later), and how it
// ended said.
std::string flashparts::ProcessEnd(Flash &flash, DWORD wait) {
    std::string how = "it ended";
    flash.watch.reset();
    flash.channel.Close();
    if (flash.process != nullptr && !FlashProcessEnded(flash.process, wait, &how)) Unreaped.push_back(flash.process);
    flash.process = nullptr;
    return how;
}

namespace {
// The drive's identity, as the record names it, over the image's part.
FlashRecord RecordOfThisFlash(const CheckedImage &image, const FlashDrive &drive, const char *program) {
    FlashRecord record = image.record;
    record.flash = NewFlashId();
    record.program = program;
    record.vendor = RecordText(drive.model.data(), std::min<size_t>(8, drive.model.size()));
    record.model = drive.model.size() > 8 ? RecordText(drive.model.data() + 8, std::min<size_t>(16, drive.model.size() - 8))
                                          : std::string();
    record.revision = RecordText(drive.revision.data(), std::min<size_t>(4, drive.revision.size()));
    record.adapter = drive.adapter;
    record.target = drive.target;
    return record;
}

// The drive answered the final block.
void DriveAnswered(Flash &flash, bool accepted) {
    flash.answered = true;
    flash.answer = accepted ? FlashJob::Answer::Accepted : FlashJob::Answer::Refused;
    flash.answerBlock = flash.count;
    char text[160];
    wsprintfA(text, accepted ? "DOWNLOAD OK: the drive accepted all %d blocks."
                             : "DOWNLOAD FAIL: the drive refused the final block (%d of %d).",
              flash.count, flash.count);
    flash.result = text;
    if (accepted) flash.accepted = flash.count;
    flash.frontEnd->TransferOver(accepted);
    Enter(flash, FlashEvent::ResultReported);
    if (flash.state == FlashState::Ended) {
        // Asked to end while the drive was written: the session that asked
        // is going away, so the result goes to standard error and no restart
        // is asked for.
        flash.frontEnd->Say(flash.result);
        flash.frontEnd->Say(NoRestartLine(flash));
        Record(flash, RecordEvent::RestartNotRequested, 0, flash.endCause);
        Tell(flash, FrontEndWord::RestartWithheld);
        Release(flash);
        BusyFlag.store(0, std::memory_order_release);
        flash.frontEnd->EndProgram();
        return;
    }
    flash.frontEnd->ShowResult(accepted);
    Enter(flash, FlashEvent::ResultClosed);
    // Only now may the timer request the restart.
    BusyFlag.store(0, std::memory_order_release);
}

// The transfer ended before the final block was in the drive (`block` > 0:
// the drive refused it; 0: it could not be started), or the process ended
// before the drive had answered (`lost`): nothing more goes to the drive and
// no restart follows.
void EndedEarly(Flash &flash, int block, const std::optional<std::string> &lost) {
    flash.answered = true;
    flash.answer = lost ? FlashJob::Answer::Lost : FlashJob::Answer::Refused;
    flash.answerBlock = block;
    char text[300];
    if (lost)
        wsprintfA(text, "DOWNLOAD FAIL: the flash was cut off at block %d of %d: its process ended (%s). The drive may "
                        "need the same image again.",
                  block, flash.count, lost->c_str());
    else if (block == 0)
        wsprintfA(text, "DOWNLOAD FAIL: The transfer could not be started. Nothing was sent to the drive.");
    else
        wsprintfA(text, "DOWNLOAD FAIL: The drive refused block %d of %d.", block, flash.count);
    flash.result = text;
    if (lost) {
        flash.frontEnd->Say(flash.result);
        Record(flash, RecordEvent::ProcessLost, block, *lost);
    }
    flash.frontEnd->TransferOver(false);
    Enter(flash, FlashEvent::TransferEnded);
    if (flash.state == FlashState::Ended) {
        if (!lost) flash.frontEnd->Say(flash.result);
        Release(flash);
        flash.frontEnd->EndProgram();
        return;
    }
    if (lost)
        flash.frontEnd->ShowProcessLost(block, flash.count);
    else
        flash.frontEnd->ShowEndedEarly(block, flash.count);
    Enter(flash, FlashEvent::BoxClosed);
}

// One event from the process, as the flash stands. False: it does not fit
// the flash, and the process is taken for lost.
bool ActOn(Flash &flash, const TransferEvent &event) {
    const bool ours = event.count == flash.count;
    switch (event.word) {
    case TransferWord::Say: flash.frontEnd->Say(event.text); return true;
    case TransferWord::Released:
        flash.processReleased = true;
        return flash.answered;
    case TransferWord::Block:
        if (!ours || flash.answered || flash.finalOut || event.block != flash.accepted + 1) return false;
        flash.accepted = event.block;
        return true;
    case TransferWord::Final:
        if (!ours || flash.answered || flash.finalOut || flash.accepted != flash.count - 1) return false;
        flash.finalOut = true;
        Enter(flash, FlashEvent::FinalSent);
        flash.frontEnd->FinalBlockGoing();
        return true;
    case TransferWord::Accepted:
        if (!ours || flash.answered || !flash.finalOut) return false;
        DriveAnswered(flash, true);
        return true;
    case TransferWord::Refused:
        if (!ours || flash.answered) return false;
        if (flash.finalOut && event.block == flash.count) {
            DriveAnswered(flash, false);
            return true;
        }
        if (flash.finalOut || (event.block != flash.accepted + 1 && !(event.block == 0 && flash.accepted == 0)))
            return false;
        EndedEarly(flash, event.block, std::nullopt);
        return true;
    default: return false;  // the start's words come once, before StartFlash
    }
}

// The block in the drive when the process was lost: the one after the last
// accepted, the final one once it went out.
int BlockReached(const Flash &flash) { return flash.finalOut ? flash.count : flash.accepted + 1; }

void ProcessLost(Flash &flash, const std::string &why) {
    if (flash.endHandled) return;
    flash.endHandled = true;
    const std::string how = ProcessEnd(flash);
    const std::string cause = why.empty() ? how : why + "; " + how;
    if (!flash.answered) {
        EndedEarly(flash, BlockReached(flash), cause);
    } else if (!flash.releaseSent && flash.state != FlashState::Ended) {
        // The drive had answered: the flash is whole, only the drive's hold
        // went with the process.
        flash.frontEnd->Say("the flash's process ended (" + cause + "): the drive is no longer held.");
    }
}

// Reads what the process sent and acts on it, event by event, in order. A
// box opened by an event runs a loop of its own, which calls here again:
// that call only reads, and the events wait for the box to close.
void Pump(Flash &flash) {
    if (!flash.channel.Open()) return;
    std::string bytes;
    for (;;) {
        const ChannelEnd::Received received = flash.channel.Receive(&bytes);
        if (received == ChannelEnd::Received::Ended) {
            flash.channelEnded = true;
            flash.watch.reset();  // a closed channel stays readable: no more calls
            break;
        }
        if (received == ChannelEnd::Received::Nothing) break;
    }
    flash.lines.Add(bytes);
    if (flash.pumping) return;
    flash.pumping = true;
    std::string unknown;
    while (std::optional<std::string> line = flash.lines.Next()) {
        const std::optional<TransferEvent> event = DecodeTransferEvent(*line);
        if (!event || !ActOn(flash, *event)) {
            unknown = *line;
            break;
        }
        if (flash.endHandled) break;
    }
    flash.pumping = false;
    if (flash.endHandled) return;
    if (!unknown.empty() || flash.lines.Damaged())
        ProcessLost(flash, "it said what this program cannot read: \"" + EscapeChannelText(unknown.substr(0, 60)) + "\"");
    else if (flash.channelEnded) {
        if (flash.processReleased && flash.answered) {
            flash.endHandled = true;
            ProcessEnd(flash, 0);
        } else {
            ProcessLost(flash, flash.lines.Partial() ? "its last line was cut" : "");
        }
    }
}

// The start: the process's first lines, read as they come, for a while.
// Held: Ready. Anything else: why not (the caller lets the process go).
FlashCheck AwaitTheDrive(Flash &flash, std::string *reason) {
    const auto unreadable = [reason] {
        *reason = "It said what this program cannot read.";
        return FlashCheck::NoFlashProcess;
    };
    bool hello = false;
    bool ended = false;
    std::string bytes;
    for (int waited = 0;;) {
        while (std::optional<std::string> line = flash.lines.Next()) {
            const std::optional<TransferEvent> event = DecodeTransferEvent(*line);
            if (!event || hello == (event->word == TransferWord::Hello)) return unreadable();
            switch (event->word) {
            case TransferWord::Hello: hello = true; break;
            case TransferWord::Held: return FlashCheck::Ready;
            case TransferWord::Busy: return FlashCheck::DriveBusy;
            case TransferWord::Unguarded: *reason = event->text; return FlashCheck::DriveUnguarded;
            case TransferWord::Declined: *reason = "It refused the flash: " + event->text; return FlashCheck::NoFlashProcess;
            default: return unreadable();
            }
        }
        if (flash.lines.Damaged()) return unreadable();
        if (ended) {
            *reason = "It ended before it took the drive (" + ProcessEnd(flash) + ").";
            return FlashCheck::NoFlashProcess;
        }
        if (waited >= kHeldWaitMilliseconds) {
            *reason = "It did not answer within 10 seconds.";
            return FlashCheck::NoFlashProcess;
        }
        if (!flash.channel.WaitReadable(100)) {
            waited += 100;
            continue;
        }
        bytes.clear();
        ended = flash.channel.Receive(&bytes) == ChannelEnd::Received::Ended;
        flash.lines.Add(bytes);
    }
}

bool SendFigures(Flash &flash, const CheckedImage &image, const FlashDrive &drive) {
    FrontEndMessage figures;
    figures.word = FrontEndWord::Hello;
    std::string lines = EncodeFrontEndMessage(figures) + "\n";
    figures.word = FrontEndWord::Flash;
    figures.adapter = drive.adapter;
    figures.target = drive.target;
    figures.size = image.copy.Size();
    figures.blockKb = image.blockKb;
    figures.blocks = image.blockCount;
    lines += EncodeFrontEndMessage(figures) + "\n";
    figures.word = FrontEndWord::Record;
    figures.text = EncodeRecord(flash.record);
    lines += EncodeFrontEndMessage(figures) + "\n";
    return flash.channel.Send(lines);
}

// The flash's process started, its figures waiting for it in the channel;
// NoFlashProcess, `reason` saying why, when it cannot be.
FlashCheck Launch(Flash &flash, const CheckedImage &image, const FlashDrive &drive, const char *program,
                  std::string *reason) {
    flash.plan = image.plan;
    flash.count = static_cast<int>(image.plan.steps.size());
    flash.record = RecordOfThisFlash(image, drive, program);
    ChannelEnd theirs;
    if (!ChannelEnd::MakePair(&flash.channel, &theirs) || !SendFigures(flash, image, drive)) {
        *reason = "There is no channel to it.";
        return FlashCheck::NoFlashProcess;
    }
    std::string error;
    flash.process = StartFlashProcess(theirs.Descriptor(), image.copy.Descriptor(), &error);
    theirs.Close();
    if (flash.process == nullptr) {
        *reason = error.empty() ? "It cannot be started." : error;
        return FlashCheck::NoFlashProcess;
    }
    return FlashCheck::Ready;
}
}  // namespace

FlashJob::FlashJob(std::unique_ptr<Flash> flash) : flash_(std::move(flash)) {}

FlashJob::~FlashJob() {
    // A flash let go is no longer one whose restart is awaited.
    std::erase(RestartFlashes, flash_.get());
    ProcessEnd(*flash_, 0);
    CollectEndedProcesses();
}


FlashCheck FlashJob::Prepare(const CheckedImage &image, const FlashDrive &drive, const char *program,
                             std::unique_ptr<FlashJob> *job, std::string *reason) {
    std::vector<std::unique_ptr<FlashJob>> jobs;
    std::vector<std::string> reasons;
    const FlashCheck check = PrepareAll(image, {drive}, program, &jobs, &reasons).front();
    *job = std::move(jobs.front());
    *reason = reasons.front();
    return check;
}

std::vector<FlashCheck> FlashJob::PrepareAll(const CheckedImage &image, const std::vector<FlashDrive> &drives,
                                             const char *program, std::vector<std::unique_ptr<FlashJob>> *jobs,
                                             std::vector<std::string> *reasons) {
    const size_t count = drives.size();
    std::vector<std::unique_ptr<Flash>> flashes(count);
    std::vector<FlashCheck> checks(count, FlashCheck::Ready);
    jobs->clear();
    jobs->resize(count);
    reasons->assign(count, std::string());
    // Every process started before any is waited for: they start side by
    // side, and a tower takes one start's time, not one a drive.
    for (size_t i = 0; i < count; ++i) {
        flashes[i] = std::make_unique<Flash>();
        checks[i] = Launch(*flashes[i], image, drives[i], program, &(*reasons)[i]);
    }
    for (size_t i = 0; i < count; ++i) {
        if (checks[i] != FlashCheck::Ready) continue;
        checks[i] = AwaitTheDrive(*flashes[i], &(*reasons)[i]);
        if (checks[i] == FlashCheck::Ready) {
            (*jobs)[i].reset(new FlashJob(std::move(flashes[i])));
        } else {
            // Closed, the channel lets the process go; it never writes the
            // drive without Start.
            ProcessEnd(*flashes[i], 0);
        }
    }
    return checks;
}

void FlashJob::Start(FlashFrontEnd &frontEnd) {
    Flash &flash = *flash_;
    flash.frontEnd = &frontEnd;
    Enter(flash, FlashEvent::Started);
    Tell(flash, FrontEndWord::Start);
    Flash *followed = &flash;
    // Destroyed with the channel, before the flash: it never calls late.
    flash.watch = flash.channel.Watch([followed] { Pump(*followed); });
    // Whatever came with the start's lines is acted on now.
    Pump(flash);
}

FlashState FlashJob::State() const { return flash_->state; }

bool FlashJob::DriveBeingWritten() const { return flash_->frontEnd != nullptr && !flash_->answered; }

int FlashJob::BlocksAccepted() const { return flash_->accepted; }

int FlashJob::BlockCount() const { return flash_->count; }

FlashJob::Answer FlashJob::DriveAnswer() const { return flash_->answer; }

int FlashJob::AnswerBlock() const { return flash_->answerBlock; }
