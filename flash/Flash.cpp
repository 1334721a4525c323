// A flash as its front end follows it: every line its process tells, acted
// on in order on the user-interface loop; its ends; the one restart for every
// flash that awaits it. See Flash.h.
#include "flash/Flash.h"

#include <optional>

#include "channel/FlashTexts.h"
#include "flash/FlashPrepare.h"

namespace {
// A process whose channel has closed ends at once; it is waited for that long.
constexpr DWORD kEndWaitMilliseconds = 2000;
}  // namespace

// One flash. Made and changed on the user-interface thread only.
struct Flash::Life {
    explicit Life(int blocks) : follower(blocks) {}
    explicit Life(const FlashUnderWay &seen) : follower(seen.snapshot), found(true), owner(false), underWay(seen) {}

    FlashState state = FlashState::Idle;
    FlashFrontEnd *frontEnd = nullptr;
    // The flash's process and the channel to it; gone once it has ended.
    HANDLE process = nullptr;
    ChannelEnd channel;
    ChannelLines lines;
    Hold watch;
    bool pumping = false;       // events are being acted on; a nested call only reads
    bool channelEnded = false;  // the process's end of the channel is closed
    bool endHandled = false;
    bool releaseSent = false;
    // What the process told so far.
    FlashFollower follower;
    // What standard error is told of the drive's answer, once it is known.
    std::string result;
    // Why the program ends without the restart, when it does.
    std::string endCause = "asked to end during the download";
    // What the record says of this flash on every line: the drive, the image.
    FlashRecord record;
    // A flash found under way: its process is another program's; this one
    // owns the flash's end only once it adopted it (its starter gone).
    bool found = false;
    bool owner = true;
    FlashUnderWay underWay;
    std::string program;  // this program, once it adopted the flash

    void Send(FrontEndWord word);
    void Release();
    void Enter(FlashEvent event);
    void Record(RecordEvent event, int block = 0, const std::string &detail = "");
    std::string LetTheProcessGo(DWORD wait = kEndWaitMilliseconds);
    void DriveAnswered();
    void EndedEarly();
    bool ActOn(const TransferEvent &event);
    void ProcessLost(const std::string &why);
    void Pump();
    void SayHowItEnds(const std::string &why);

    // The one restart asked of the system, and who hears its answer: the
    // system calls a plain function.
    static std::vector<Life *> awaitingRestart;
    static RestartListener *restartListener;
    static void RestartRefused(const char *reason);
    static void RestartAccepted();
};

std::vector<Flash::Life *> Flash::Life::awaitingRestart;
RestartListener *Flash::Life::restartListener = nullptr;

void Flash::Life::Send(FrontEndWord word) {
    // Only the flash's owner speaks to its process.
    if (!owner) return;
    FrontEndMessage message;
    message.word = word;
    // A process that has gone is found by the channel's end, not here.
    (void)channel.Send(EncodeFrontEndMessage(message) + "\n");
}

// The drive may go: the flash is over, for this program (one that only viewed it lets it go: nobody's to adopt).
void Flash::Life::Release() {
    if (releaseSent || !channel.Open()) return;
    releaseSent = true;
    owner ? Send(FrontEndWord::Release) : (void)LetTheProcessGo(0);
}

void Flash::Life::Enter(FlashEvent event) {
    const FlashState next = NextFlashState(state, event);
    if (next == state) return;
    state = next;
    // The drive is held until the flash is over: a flash of another program
    // started while the restart this one asked for is pending would be cut
    // by it. A flash that ends with the program keeps it to the end.
    if (next == FlashState::Idle) Release();
    if (frontEnd != nullptr) frontEnd->FlashStateChanged(next);
}

void Flash::Life::Record(RecordEvent event, int block, const std::string &detail) {
    // A flash followed is recorded by its owner.
    if (!owner) return;
    RecordFlashEvent(record, event, block, detail,
                     [this](const std::string &line) { frontEnd->Say(line, Said::OfTheFlash); });
}

// The channel closed: the process has ended or is about to; how it ended.
std::string Flash::Life::LetTheProcessGo(DWORD wait) {
    watch.reset();
    channel.Close();
    const std::string how = LetFlashProcessGo(process, wait);
    process = nullptr;
    return how;
}

// The drive answered the final block, accepted or refused.
void Flash::Life::DriveAnswered() {
    const FlashOutcome &outcome = follower.Outcome();
    result = OutcomeSentence(outcome);
    frontEnd->TransferOver(outcome);
    Enter(FlashEvent::ResultReported);
    if (state == FlashState::Ended) {
        // Asked to end while the drive was written: the session that asked
        // is going away, so the result goes to standard error and no restart
        // is asked for.
        frontEnd->Say(result, Said::OfTheFlash);
        frontEnd->Say(NoRestartSentence(endCause), Said::HowItEnds);
        Record(RecordEvent::RestartNotRequested, 0, endCause);
        Send(FrontEndWord::RestartWithheld);
        Release();
        frontEnd->EndProgram();
        return;
    }
    frontEnd->ShowResult(outcome);
    // A flash found under way has its restart only where this program owns
    // its end and its starter wanted one.
    if (!found || (owner && underWay.snapshot.restartWanted)) return Enter(FlashEvent::ResultClosed);
    if (owner) {
        const std::string why = "its starter asked for no restart";
        frontEnd->Say(NoRestartSentence(why), Said::HowItEnds);
        Record(RecordEvent::RestartNotRequested, 0, why);
        Send(FrontEndWord::RestartWithheld);
    }
    Enter(FlashEvent::BoxClosed);
}

// The transfer ended before the final block was in the drive (the drive
// refused a block; block 0: it could not be started), or the drive went away
// (at any block, the final one too), or the process ended before the drive
// had answered (cut off): nothing more goes to the drive and no restart
// follows.
void Flash::Life::EndedEarly() {
    const FlashOutcome &outcome = follower.Outcome();
    const bool cutOff = outcome.ending == FlashEnding::CutOff;
    result = OutcomeSentence(outcome);
    if (cutOff) {
        frontEnd->Say(result, Said::OfTheFlash);
        Record(RecordEvent::ProcessLost, outcome.block, outcome.why);
    }
    frontEnd->TransferOver(outcome);
    Enter(FlashEvent::TransferEnded);
    if (state == FlashState::Ended) {
        if (!cutOff) frontEnd->Say(result, Said::OfTheFlash);
        Release();
        frontEnd->EndProgram();
        return;
    }
    frontEnd->ShowEndedEarly(outcome);
    Enter(FlashEvent::BoxClosed);
}

// One event from the process, as the flash stands. False: it does not fit
// the flash, and the process is taken for lost.
bool Flash::Life::ActOn(const TransferEvent &event) {
    // What its process tells a flash's followers of the flash itself.
    if (found && event.word == TransferWord::StarterGone) {
        underWay.snapshot.starterPresent = false;
        return true;
    }
    if (found && event.word == TransferWord::Adopt && !owner) {
        owner = true;
        record.program = program;
        return true;
    }
    switch (follower.Take(event)) {
    case FlashFollower::News::Unfit: return false;
    case FlashFollower::News::Said: frontEnd->Say(event.text, Said::ByItsProcess); break;
    case FlashFollower::News::FinalGoing:
        Enter(FlashEvent::FinalSent);
        frontEnd->FinalBlockGoing();
        break;
    case FlashFollower::News::Answered: {
        // The final block answered, accepted or refused; anything else ended
        // the flash early.
        const FlashOutcome &outcome = follower.Outcome();
        const bool final = outcome.ending == FlashEnding::Accepted ||
                           (outcome.ending == FlashEnding::Refused && outcome.block == outcome.blocks);
        final ? DriveAnswered() : EndedEarly();
        break;
    }
    case FlashFollower::News::Nothing: case FlashFollower::News::Block: case FlashFollower::News::Released: break;
    }
    if (event.word == TransferWord::Block) frontEnd->BlockAccepted(follower.BlocksAccepted(), follower.Blocks());
    return true;
}

void Flash::Life::ProcessLost(const std::string &why) {
    if (endHandled) return;
    endHandled = true;
    const std::string how = LetTheProcessGo();
    // A flash followed whose process still serves it let this program go
    // (it fell behind): the flash goes on, it was not cut off.
    if (const std::string letGo = found ? LetGoSentence(underWay.drive) : std::string(); !letGo.empty()) {
        frontEnd->Say(letGo, Said::OfTheFlash);
        return frontEnd->EndProgram();
    }
    const std::string cause = why.empty() ? how : why + "; " + how;
    if (!follower.Outcome().Answered()) {
        follower.ProcessEnded(cause);
        EndedEarly();
    } else if (!releaseSent && state != FlashState::Ended) {
        // The drive had answered: the flash is whole, only the drive's hold
        // went with the process.
        frontEnd->Say("the flash's process ended (" + cause + "): the drive is no longer held.", Said::OfTheFlash);
    }
}

// Reads what the process sent and acts on it, event by event, in order. A
// box opened by an event runs a loop of its own, which calls here again:
// that call only reads, and the events wait for the box to close.
void Flash::Life::Pump() {
    if (!channel.Open()) return;
    std::string bytes;
    for (;;) {
        const ChannelEnd::Received received = channel.Receive(&bytes);
        if (received == ChannelEnd::Received::Ended) {
            channelEnded = true;
            watch.reset();  // a closed channel stays readable: no more calls
            break;
        }
        if (received == ChannelEnd::Received::Nothing) break;
    }
    lines.Add(bytes);
    if (pumping) return;
    pumping = true;
    std::string unknown;
    while (std::optional<std::string> line = lines.Next()) {
        const std::optional<TransferEvent> event = DecodeTransferEvent(*line);
        if (!event || !ActOn(*event)) {
            unknown = *line;
            break;
        }
        if (endHandled || !channel.Open()) break;
    }
    pumping = false;
    if (endHandled) return;
    if (!unknown.empty() || lines.Damaged())
        ProcessLost("it said what this program cannot read: \"" + EscapeChannelText(unknown.substr(0, 60)) + "\"");
    else if (channelEnded) {
        if (follower.Released() && follower.Outcome().Answered()) {
            endHandled = true;
            LetTheProcessGo(0);
        } else {
            ProcessLost(lines.Partial() ? "its last line was cut" : "");
        }
    }
}

// Where the flash stood when the program ends without waiting for anything
// more: standard error is told what the user no longer sees.
void Flash::Life::SayHowItEnds(const std::string &why) {
    switch (state) {
    case FlashState::ResultShown:
        frontEnd->Say(result, Said::OfTheFlash);
        frontEnd->Say(NoRestartSentence(endCause), Said::HowItEnds);
        Record(RecordEvent::RestartNotRequested, 0, endCause);
        Send(FrontEndWord::RestartWithheld);
        break;
    case FlashState::EndedEarly: frontEnd->Say(result, Said::OfTheFlash); break;
    case FlashState::RestartPending: {
        const std::string cause = why.empty() ? "ended before the restart was requested" : why;
        frontEnd->Say(NoRestartSentence(cause), Said::HowItEnds);
        Record(RecordEvent::RestartNotRequested, 0, cause);
        Send(FrontEndWord::RestartWithheld);
        break;
    }
    case FlashState::RestartAsked:
        frontEnd->Say("the restart was requested; the program ended before the system answered.", Said::HowItEnds);
        break;
    default: break;  // nothing new to tell
    }
}

void Flash::Life::RestartRefused(const char *reason) {
    const std::string why = reason != nullptr && reason[0] != '\0' ? reason : "no reason given.";
    if (restartListener != nullptr) restartListener->Say("the system refused the restart: " + why);
    bool ending = false;
    for (Life *life : awaitingRestart) {
        if (life->state == FlashState::RestartAsked) {
            life->Record(RecordEvent::RestartRefused, 0, why);
            life->Send(FrontEndWord::RestartRefused);
        } else if (life->state != FlashState::Idle) {
            ending = true;
        }
    }
    // Once the program is ending nobody is left to read a box.
    if (ending) return;
    for (Life *life : awaitingRestart) life->Enter(FlashEvent::RestartRefused);
    if (restartListener != nullptr) restartListener->ShowRestartRefused(reason);
    for (Life *life : awaitingRestart) life->Enter(FlashEvent::BoxClosed);
}

void Flash::Life::RestartAccepted() {
    if (restartListener != nullptr) restartListener->Say("the restart was requested and the system accepted it.");
    for (Life *life : awaitingRestart) {
        if (life->state == FlashState::RestartAsked) {
            life->Record(RecordEvent::RestartAccepted);
            life->Send(FrontEndWord::RestartAccepted);
        }
        life->Enter(FlashEvent::RestartAccepted);
    }
}

Flash::Flash(std::unique_ptr<Life> life) : life_(std::move(life)) {}

Flash::~Flash() {
    // A flash let go is no longer one whose restart is awaited.
    std::erase(Life::awaitingRestart, life_.get());
    life_->LetTheProcessGo(0);
    CollectEndedFlashProcesses();
}

std::vector<FlashCheck> Flash::Prepare(const CheckedImage &image, const std::vector<Drive> &drives,
                                       const char *program, bool restartWanted,
                                       std::vector<std::unique_ptr<Flash>> *flashes,
                                       std::vector<std::string> *reasons) {
    CollectEndedFlashProcesses();
    std::vector<PreparedFlash> prepared;
    const std::vector<FlashCheck> checks = PrepareFlashes(image, drives, program, restartWanted, &prepared, reasons);
    flashes->clear();
    for (size_t i = 0; i < checks.size(); ++i) {
        if (checks[i] != FlashCheck::Ready) {
            flashes->push_back(nullptr);
            continue;
        }
        auto life = std::make_unique<Life>(prepared[i].count);
        life->process = prepared[i].process;
        life->channel = std::move(prepared[i].channel);
        life->lines = std::move(prepared[i].lines);
        life->record = std::move(prepared[i].record);
        flashes->push_back(std::unique_ptr<Flash>(new Flash(std::move(life))));
    }
    return checks;
}

std::unique_ptr<Flash> Flash::Follow(DriveAddress drive, const char *program, std::string *problem) {
    FlashUnderWay seen;
    ChannelLines lines;
    ChannelEnd channel = FollowFlash(drive, true, &seen, &lines, problem);
    if (!channel.Open()) return nullptr;
    auto life = std::make_unique<Life>(seen);
    life->channel = std::move(channel);
    life->lines = std::move(lines);
    life->record = seen.record;
    life->program = program;
    return std::unique_ptr<Flash>(new Flash(std::move(life)));
}

void Flash::Start(FlashFrontEnd &frontEnd) {
    Life &life = *life_;
    life.frontEnd = &frontEnd;
    life.Enter(FlashEvent::Started);
    life.Send(FrontEndWord::Start);
    // Found under way with its final block in the drive already.
    if (life.found && life.follower.FinalOut()) {
        life.Enter(FlashEvent::FinalSent);
        frontEnd.FinalBlockGoing();
    }
    // Destroyed with the channel, before the flash: it never calls late.
    life.watch = life.channel.Watch([&life] { life.Pump(); });
    // Whatever came with the start's lines is acted on now.
    life.Pump();
}

FlashState Flash::State() const { return life_->state; }

const FlashFollower &Flash::Followed() const { return life_->follower; }

bool Flash::FoundUnderWay() const { return life_->found; }

const FlashUnderWay &Flash::Found() const { return life_->underWay; }

bool Flash::Adopted() const { return life_->found && life_->owner; }

bool Flash::TakesEndRequest() {
    Life &life = *life_;
    switch (WhatItAllows(life.state).endRequest) {
    case EndRequest::Held: life.Enter(FlashEvent::EndRequested); return true;
    case EndRequest::AlreadyHeld: return true;
    case EndRequest::EndsNow: break;
    }
    if (life.state != FlashState::Idle) {
        life.SayHowItEnds({});
        life.Enter(FlashEvent::EndRequested);
    }
    return false;
}

void Flash::EndsWithProgram(const std::string &why) {
    Life &life = *life_;
    if (life.state == FlashState::Idle || life.state == FlashState::Ended) return;
    life.SayHowItEnds(why);
    life.Enter(FlashEvent::EndRequested);
}

void Flash::FinishAtProgramEnd() {
    Life &life = *life_;
    if (!life.channel.Open()) return;
    // Still written, the flash is the process's to finish; otherwise the
    // program has said what became of the restart, and the drive may go.
    if (life.follower.Outcome().Answered()) life.Release();
    life.watch.reset();
    life.channel.Close();
}

bool Flash::RequestRestart(const std::vector<Flash *> &flashes, RestartListener &listener) {
    // Without every flash waiting for it (the program ending, or the restart
    // asked already), or with none awaiting it, nothing is asked.
    bool awaited = false;
    for (const Flash *flash : flashes) {
        const FlashState state = flash->life_->state;
        if (state != FlashState::RestartPending && state != FlashState::Idle) return false;
        awaited = awaited || state == FlashState::RestartPending;
    }
    if (!awaited) return false;
    Life::awaitingRestart.clear();
    for (Flash *flash : flashes) {
        Life &life = *flash->life_;
        if (life.state != FlashState::RestartPending) continue;
        life.Record(RecordEvent::RestartRequested);
        life.Send(FrontEndWord::RestartRequested);
        life.Enter(FlashEvent::RestartRequested);
        Life::awaitingRestart.push_back(&life);
    }
    Life::restartListener = &listener;
    // The answer comes later, perhaps after the system asked the user: a
    // refusal must reach the user, who would otherwise wait for a restart
    // that never comes.
    SetRestartRefusedHandler(Life::RestartRefused);
    SetRestartAcceptedHandler(Life::RestartAccepted);
    ExitWindowsEx(EWX_REBOOT, 0);
    return true;
}
