// A flash prepared; see FlashPrepare.h.
#include "flash/FlashPrepare.h"


namespace {
// The process takes the drive within milliseconds (it starts, binds the
// manager and asks for the drive's lock without waiting); a process that has
// not answered by then never writes the drive: it waits for the start.
constexpr int kHeldWaitMilliseconds = 10000;
// Processes let go before they had ended, to be collected later. Never
// destroyed: a process still running at the program's end is the system's to
// collect.
std::vector<HANDLE> &Unreaped = *new std::vector<HANDLE>;

// The drive's identity, as the record names it, over the image's part.
FlashRecord RecordOfTheFlash(const CheckedImage &image, const Drive &drive, const char *program) {
    FlashRecord record = image.record;
    record.flash = NewFlashId();
    record.program = program;
    record.vendor = FieldText(drive.identity.vendor);
    record.model = FieldText(drive.identity.product);
    record.revision = FieldText(drive.identity.revision);
    record.adapter = drive.address.adapter;
    record.target = drive.address.target;
    return record;
}

// The front end's first lines: hello, the flash's figures, the record's line.
std::string FiguresLines(const PreparedFlash &flash, const CheckedImage &image, const Drive &drive,
                         bool restartWanted) {
    FrontEndMessage figures;
    figures.word = FrontEndWord::Hello;
    std::string lines = EncodeFrontEndMessage(figures) + "\n";
    figures.word = FrontEndWord::Flash;
    figures.adapter = drive.address.adapter;
    figures.target = drive.address.target;
    figures.size = image.copy.Size();
    figures.blockKb = image.blockKb;
    figures.blocks = image.blockCount;
    lines += EncodeFrontEndMessage(figures) + "\n";
    if (restartWanted) {
        figures.word = FrontEndWord::RestartWanted;
        lines += EncodeFrontEndMessage(figures) + "\n";
    }
    figures.word = FrontEndWord::Record;
    figures.text = EncodeRecord(flash.record);
    return lines + EncodeFrontEndMessage(figures) + "\n";
}

// The process started, its figures waiting for it in the channel.
FlashCheck Launch(PreparedFlash &flash, const CheckedImage &image, const Drive &drive, bool restartWanted,
                  std::string *reason) {
    ChannelEnd theirs;
    if (!ChannelEnd::MakePair(&flash.channel, &theirs) || !flash.channel.Send(FiguresLines(flash, image, drive, restartWanted))) {
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

// The process's first lines: the channel's hello, then whether it holds
// the drive. Held: Ready. Anything else: why not.
FlashCheck AwaitTheDrive(PreparedFlash &flash, std::string *reason) {
    const auto unreadable = "It said what this program cannot read.";
    bool hello = false;
    FlashCheck check = FlashCheck::NoFlashProcess;
    const StartLines read = ReadStartLines(flash.channel, flash.lines, kHeldWaitMilliseconds, [&](const std::string &line) {
        const std::optional<TransferEvent> event = DecodeTransferEvent(line);
        if (!event || hello == (event->word == TransferWord::Hello)) {
            *reason = unreadable;
            return true;
        }
        switch (event->word) {
        case TransferWord::Hello: hello = true; return false;
        case TransferWord::Held: check = FlashCheck::Ready; break;
        case TransferWord::Busy: check = FlashCheck::DriveBusy; *reason = event->text; break;
        case TransferWord::Unguarded: check = FlashCheck::DriveUnguarded; *reason = event->text; break;
        case TransferWord::Declined: *reason = "It refused the flash: " + event->text; break;
        default: *reason = unreadable; break;
        }
        return true;
    });
    switch (read) {
    case StartLines::Decided: return check;
    case StartLines::Damaged: *reason = unreadable; break;
    case StartLines::Ended:
        flash.channel.Close();
        *reason = "It ended before it took the drive (" + LetFlashProcessGo(flash.process, 2000) + ").";
        flash.process = nullptr;
        break;
    case StartLines::TimedOut: *reason = "It did not answer within 10 seconds."; break;
    }
    return FlashCheck::NoFlashProcess;
}
}  // namespace

std::vector<FlashCheck> PrepareFlashes(const CheckedImage &image, const std::vector<Drive> &drives,
                                       const char *program, bool restartWanted,
                                       std::vector<PreparedFlash> *prepared, std::vector<std::string> *reasons) {
    const size_t count = drives.size();
    std::vector<FlashCheck> checks(count, FlashCheck::Ready);
    prepared->clear();
    prepared->resize(count);
    reasons->assign(count, std::string());
    for (size_t i = 0; i < count; ++i) {
        PreparedFlash &flash = (*prepared)[i];
        flash.record = RecordOfTheFlash(image, drives[i], program);
        flash.count = static_cast<int>(image.plan.steps.size());
        checks[i] = Launch(flash, image, drives[i], restartWanted, &(*reasons)[i]);
    }
    for (size_t i = 0; i < count; ++i) {
        PreparedFlash &flash = (*prepared)[i];
        if (checks[i] == FlashCheck::Ready) checks[i] = AwaitTheDrive(flash, &(*reasons)[i]);
        if (checks[i] == FlashCheck::Ready) continue;
        // Closed, the channel lets the process go; it never writes the drive
        // without the start.
        flash.channel.Close();
        if (flash.process != nullptr) LetFlashProcessGo(flash.process, 0);
        flash.process = nullptr;
    }
    return checks;
}

std::string LetFlashProcessGo(HANDLE process, DWORD wait) {
    std::string how = "it ended";
    if (process != nullptr && !FlashProcessEnded(process, wait, &how)) Unreaped.push_back(process);
    return how;
}

void CollectEndedFlashProcesses() {
    std::string how;
    for (auto i = Unreaped.begin(); i != Unreaped.end();)
        i = FlashProcessEnded(*i, 0, &how) ? Unreaped.erase(i) : i + 1;
}
