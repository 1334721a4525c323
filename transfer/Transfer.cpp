// The flash's own process; see Transfer.h. Its session goes through these
// stages, in this order:
//
//   Preparing: the front end's lines read (hello, flash, record), the image's
//     sealed copy taken, the plan made, the drive held  -> "held" (or busy,
//     unguarded, declined: the session ends, nothing sent)
//   Held: waiting for "start" (a front end gone meanwhile: nothing is sent)
//   Writing: the inhibitors, then the worker: every block, "block n N" each,
//     "final N", the drive's answer recorded -> "accepted N" / "refused n N"
//   Answered: the inhibitors let go; the drive is let go when the front end
//     says "release", when it is gone (after recording that no restart was
//     requested, unless it had settled the restart), or on an end request
//   Finished: the drive let go, the channel closed.
#include "transfer/Transfer.h"
#include "transfer/TransferSession.h"

namespace {
// The front end writes the flash's figures before it starts the process:
// they are there at once, or the front end is not one of ours.
constexpr int kFiguresWaitMilliseconds = 10000;

// Who was gone, as the lines and the record say it.
std::string Gone(const std::string &program) {
    return program == "quorvel" ? "the window" : program;
}
}  // namespace

void TransferSession::Send(const TransferEvent &event) {
    {
        std::lock_guard lock(sendMutex_);
        // A front end that no longer reads is one that is gone: the session
        // learns it from the channel's end, never by a failed line.
        if (!frontEndGone_) (void)channel_.Send(EncodeTransferEvent(event) + "\n");
    }
    followers_.Tell(event);
}

void TransferSession::Say(const std::string &line) {
    bool told = false;
    {
        std::lock_guard lock(sendMutex_);
        if (!frontEndGone_) told = channel_.Send(EncodeTransferEvent(EventOf(TransferWord::Say, 0, 0, line)) + "\n");
    }
    followers_.Tell(EventOf(TransferWord::Say, 0, 0, line));
    // Without its starter, standard error (the starter's, until it is let
    // go) is told.
    if (!told) WriteDiagnostic((program_ + ": " + line).c_str());
}

void TransferSession::Record(RecordEvent event, int block, const std::string &detail) {
    RecordFlashEvent(record_, event, block, detail, [this](const std::string &line) { Say(line); });
}

bool TransferSession::ReadFigures(std::string *problem) {
    bool hello = false, flash = false, complete = false;
    const StartLines read = ReadStartLines(channel_, lines_, kFiguresWaitMilliseconds, [&](const std::string &line) {
        const std::optional<FrontEndMessage> message = DecodeFrontEndMessage(line);
        if (!message || (!hello && message->word != FrontEndWord::Hello)) {
            *problem = "the front end's line is not one of this channel's: " + line.substr(0, 80);
            return true;
        }
        switch (message->word) {
        case FrontEndWord::Hello: hello = true; return false;
        case FrontEndWord::Flash:
            flash = true;
            adapter_ = static_cast<uint8_t>(message->adapter);
            target_ = static_cast<uint8_t>(message->target);
            size_ = message->size;
            blockKb_ = message->blockKb;
            blocks_ = message->blocks;
            return false;
        case FrontEndWord::RestartWanted: restartWanted_ = true; return false;
        case FrontEndWord::Record:
            // The record's line comes last: the figures are complete.
            complete = flash && DecodeRecord(message->text, &record_);
            if (complete)
                program_ = record_.program;
            else
                *problem = "the flash's figures cannot be read.";
            return true;
        default: *problem = "the front end spoke out of turn before the flash began."; return true;
        }
    });
    switch (read) {
    case StartLines::Decided: break;
    case StartLines::Damaged: *problem = "the front end's lines are damaged."; break;
    case StartLines::Ended: *problem = "the front end was gone before the flash began."; break;
    case StartLines::TimedOut: *problem = "the front end did not say which flash to carry."; break;
    }
    return complete;
}

void TransferSession::Prepare() {
    Send(EventOf(TransferWord::Hello));
    std::string problem;
    const auto decline = [this](const std::string &why) {
        Send(EventOf(TransferWord::Declined, 0, 0, why));
        Finish(2);
    };
    if (!ReadFigures(&problem)) {
        CloseHandedDescriptor(imageFd_);
        return decline(problem);
    }
    image_ = SealedImage::Adopt(imageFd_, size_, &problem);
    if (!image_.Valid()) return decline(problem);
    // The plan is made again from the copy's own length: whatever the front
    // end said, no block reaches past the copy or the transfer buffer.
    plan_ = MakeBlockPlan(static_cast<int32_t>(image_.Size()), blockKb_, blocks_, kTransferBufferSize);
    if (plan_.verdict != PlanVerdict::Ok || static_cast<int>(plan_.steps.size()) != record_.blocks ||
        TransferBuffer == nullptr)
        return decline("the image's blocks do not fit it.");

    DriveLockState lock = DriveLockState::Unavailable;
    drive_ = LockDrive(adapter_, target_, &lock);
    // Another flash, a mounted disc or another program's exclusive open:
    // the drive is busy, and the last two say how.
    if (lock == DriveLockState::HeldElsewhere || lock == DriveLockState::Mounted || lock == DriveLockState::InUse) {
        const std::string how = lock == DriveLockState::HeldElsewhere ? std::string() : DriveLockProblem();
        Send(EventOf(TransferWord::Busy, 0, 0, how));
        return Finish(2);
    }
    if (lock == DriveLockState::Unsafe) {
        Send(EventOf(TransferWord::Unguarded, 0, 0, DriveLockProblem()));
        return Finish(2);
    }
    // The drive there must be the one the front end chose: one unplugged
    // and plugged in again, or another, may answer where it found it.
    if (!StillTheDrive(adapter_, target_, record_.vendor, record_.model))
        return decline("The drive at " + std::to_string(adapter_) + ":" + std::to_string(target_) + " is not the " +
                       record_.vendor + " " + record_.model +
                       " chosen any more (unplugged, or another drive in its place). Find the drives again.");
    // How the drive is attached decides the advice a refused first block
    // gets.
    transport_ = TransportOfAnswer(aspi::GetASPI32DeviceTransport(adapter_, target_));
    stage_ = Stage::Held;
    Send(EventOf(TransferWord::Held));
    // Held, but the system goes on polling the drive: one line says so
    // (the front end reads lines of its own only once it holds the drive).
    if (lock == DriveLockState::TakenShared) Send(EventOf(TransferWord::Say, 0, 0, DriveLockProblem()));
    // Any front end of this user may follow the flash from here on.
    FlashSnapshot now;
    now.count = static_cast<int>(plan_.steps.size());
    now.since = UnixMilliseconds();
    now.starterPid = channel_.PeerProcess();
    now.restartWanted = restartWanted_;
    now.blockKb = blockKb_;
    followers_.Serve(adapter_, target_, EncodeRecord(record_), now);
    // The blocks wait for the front end's start: a front end that gave up
    // meanwhile closes the channel, and nothing is written.
    watch_ = channel_.Watch([this] { OnReadable(); });
}

void TransferSession::Answered() {
    // Nothing more is written to the drive: before the front end hears of
    // it, and so before it can ask for the restart, nothing of ours holds off
    // a shutdown.
    inhibitor_.reset();
    for (const TransferEvent &event : OutcomeEvents(outcome_)) Send(event);
    if (worker_ == nullptr) return AfterTheAnswer();
    // On the loop, inside the worker's hand-over: the worker is joined once
    // the hand-over is over.
    QTimer::singleShot(0, [this] {
        WaitForSingleObject(worker_, INFINITE);
        CloseHandle(worker_);
        worker_ = nullptr;
        AfterTheAnswer();
    });
}

void TransferSession::AfterTheAnswer() {
    stage_ = Stage::Answered;
    if (frontEndGone_ && !followers_.Adopted()) return FrontEndGone();
    if (letGoWhenAnswered_) Finish(0);
}

void TransferSession::OnReadable() {
    if (stage_ == Stage::Finished) return;
    std::string bytes;
    const ChannelEnd::Received received = channel_.Receive(&bytes);
    if (received == ChannelEnd::Received::Nothing) return;
    lines_.Add(bytes);
    while (std::optional<std::string> line = lines_.Next()) {
        const std::optional<FrontEndMessage> message = DecodeFrontEndMessage(*line);
        // A front end of a later version: what it adds does not concern the
        // drive.
        if (message) TakeOwnerWord(message->word);
        if (stage_ == Stage::Finished) return;
    }
    if (received == ChannelEnd::Received::Ended || lines_.Damaged()) StarterGone();
}

// What the flash's owner says: its starter, or the follower that adopted it.
void TransferSession::TakeOwnerWord(FrontEndWord word) {
    switch (word) {
    case FrontEndWord::Start:
        if (stage_ == Stage::Held) Start();
        break;
    case FrontEndWord::RestartRequested:
    case FrontEndWord::RestartAccepted:
    case FrontEndWord::RestartRefused:
    case FrontEndWord::RestartWithheld: settled_ = true; break;
    case FrontEndWord::Release:
        settled_ = true;
        if (stage_ != Stage::Writing) return Finish(0);
        letGoWhenAnswered_ = true;
        break;
    default: break;
    }
}

void TransferSession::StarterGone() {
    watch_.reset();
    {
        std::lock_guard lock(sendMutex_);
        frontEndGone_ = true;
    }
    if (stage_ == Stage::Held) return Finish(0);  // it gave up before the start: nothing was sent
    // A follower, when there is one, owns the flash's end from here.
    const bool adopted = followers_.StarterGone();
    if (stage_ == Stage::Answered) {
        if (!adopted) FrontEndGone();
        return;
    }
    Say(Gone(program_) + " is gone: the download goes on until the drive has answered its final block.");
    // The starter's streams are let go: whoever reads them sees their end
    // now, not the flash's.
    LetGoOfStandardStreams();
}

void TransferSession::AdopterGone() {
    if (stage_ == Stage::Answered && !settled_) FrontEndGone();
}

void TransferSession::FrontEndGone() {
    if (!settled_) {
        // The front end saw the flash no further than this: the user learns
        // the rest from standard error, and from the window's next start.
        const std::string who = Gone(program_) + " was gone";
        Say(OutcomeSentence(outcome_));
        if (restartWasDue_) Say(NoRestartSentence(who));
        if (outcome_.block > 0) Record(RecordEvent::Unattended, outcome_.block, who);
        // Nobody is left to be told: the desktop says it, when it can.
        const EndedAloneNotice notice = NoticeOfTheEnd(ModelText(record_.vendor, record_.model), record_.version, who,
                                                       outcome_);
        NotifyDesktop(notice.summary, notice.body);
    }
    Finish(0);
}

void TransferSession::EndRequested() {
    if (stage_ == Stage::Finished) return;
    if (stage_ == Stage::Writing)
        letGoWhenAnswered_ = true;
    else
        Finish(0);
}

void TransferSession::Finish(int status) {
    if (stage_ == Stage::Finished) return;
    const bool held = stage_ != Stage::Preparing;
    stage_ = Stage::Finished;
    drive_.reset();
    if (held) Send(EventOf(TransferWord::Released));
    followers_.Close();
    watch_.reset();
    channel_.Close();
    image_ = SealedImage();
    if (ended_) ended_(status);
}

void TransferSessionEnd::operator()(TransferSession *session) const { delete session; }

TransferSessionHold StartTransferSession(int channel, int image, std::function<void(int)> ended) {
    TransferSessionHold session(new TransferSession(channel, image, std::move(ended)));
    session->Prepare();
    return session;
}

std::string TransferSessionProgram(const TransferSession *session) { return session->Program(); }

void TransferSessionEndRequested(TransferSession *session) {
    if (session != nullptr) session->EndRequested();
}
