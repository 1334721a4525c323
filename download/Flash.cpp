// The flash's ends (a request to end the program, the program's end), the
// one restart for every flash that awaits it, the image checked and sealed,
// and the window's one flash; FlashJob.cpp follows each flash's process.
#include <cstring>
#include <memory>
#include <vector>

#include "download/FlashParts.h"
#include "image/ImageRules.h"
#include "image/Trailer.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "state/SharedState.h"

using namespace flashparts;

std::vector<Flash *> flashparts::RestartFlashes;

namespace {
// The window's flash, from its start until the next one begins.
FlashJob *TheFlash = nullptr;
FlashFrontEnd *RestartFrontEnd = nullptr;
std::string RefusalReason;


// The file must still be the one that was checked when the image was loaded:
// its length (the blocks line up with the trailer) and its trailer, read by
// the same position rule from `bytes`, the image's ImageSize bytes.
bool IsTheLoadedImage(const uint8_t *bytes) {
    const int64_t offset = TrailerOffset(ImageSize, bytes[ImageSize - kTrailerNearBack]);
    return offset >= 0 && std::memcmp(bytes + offset, ImageTrailer, kTrailerSize) == 0;
}

void RestartRefused(const char *reason);
void RestartAccepted();
}  // namespace

FlashCheck CheckTheLoadedImage(CheckedImage *image, PlanVerdict *verdict) {
    if (ImageSize < kTrailerNearBack || TransferBuffer == nullptr || ImagePath[0] == '\0')
        return FlashCheck::NotOpened;
    // Opened anew: a regular file only, so that a FIFO put in its place does
    // not hold up the window.
    RawFile *file = ImageFile = OpenRawFile(ImagePath);
    if (file == nullptr) return FlashCheck::NotOpened;
    const auto closeFile = [](RawFile *f) {
        CloseRawFile(f);
        ImageFile = nullptr;
    };
    std::unique_ptr<RawFile, decltype(closeFile)> closing(file, closeFile);
    if (RawFileSize(file) != ImageSize) return FlashCheck::NotOpened;

    image->plan = MakeBlockPlan(ImageSize, BlockSizeKb, BlockCount, kTransferBufferSize);
    *verdict = image->plan.verdict;
    if (image->plan.verdict != PlanVerdict::Ok) return FlashCheck::NotValid;
    image->blockKb = BlockSizeKb;
    image->blockCount = BlockCount;

    // The copy is checked once sealed: what passes is what the drive gets,
    // whatever happens to the file from here.
    SealedImage::Failure failure = SealedImage::Failure::None;
    image->copy = SealedImage::Copy(file, ImageSize, &failure);
    if (failure == SealedImage::Failure::NoMemory) return FlashCheck::TooLargeForMemory;
    if (!image->copy.Valid() || RawFileSize(file) != ImageSize || !IsTheLoadedImage(image->copy.Bytes()))
        return FlashCheck::NotOpened;

    FlashRecord &record = image->record;
    const char *slash = std::strrchr(ImagePath, '/');
    record.file = slash != nullptr ? slash + 1 : ImagePath;
    record.size = ImageSize;
    // The bytes the drive gets: the sealed copy's, never the file's again.
    record.sha256 = Sha256Hex(image->copy.Bytes(), static_cast<size_t>(image->copy.Size()));
    record.version = RecordText(ImageVersion, 4);
    record.blocks = static_cast<int>(image->plan.steps.size());
    return FlashCheck::Ready;
}

FlashCheck PrepareFlash(const char *program, PlanVerdict *verdict) {
    RefusalReason.clear();
    // The last flash is over: its process has been let go.
    delete TheFlash;
    TheFlash = nullptr;
    CollectEndedProcesses();
    CheckedImage image;
    const FlashCheck checked = CheckTheLoadedImage(&image, verdict);
    if (checked != FlashCheck::Ready) return checked;
    FlashDrive drive;
    drive.adapter = SelectedAdapter;
    drive.target = SelectedTarget;
    drive.model.assign(DriveModel, 24);
    drive.revision.assign(DriveVersion, 4);
    std::unique_ptr<FlashJob> job;
    const FlashCheck check = FlashJob::Prepare(image, drive, program, &job, &RefusalReason);
    TheFlash = job.release();
    return check;
}

std::string FlashRefusalReason() { return RefusalReason; }

void StartFlash(FlashFrontEnd &frontEnd) { TheFlash->Start(frontEnd); }

FlashState CurrentFlashState() { return TheFlash != nullptr ? TheFlash->State() : FlashState::Idle; }

FlashAllows FlashAllowsNow() { return WhatItAllows(CurrentFlashState()); }

bool DriveBeingWrittenNow() { return TheFlash != nullptr && TheFlash->DriveBeingWritten(); }

int BlocksAccepted() { return TheFlash != nullptr ? TheFlash->BlocksAccepted() : 0; }

namespace {
// Where the flash stood when the program ends without waiting for anything
// more: standard error is told what the user no longer sees.
void SayHowTheFlashEnds(Flash &flash, const std::string &why = {}) {
    switch (flash.state) {
    case FlashState::ResultShown:
        flash.frontEnd->Say(flash.result);
        flash.frontEnd->Say(NoRestartLine(flash));
        Record(flash, RecordEvent::RestartNotRequested, 0, flash.endCause);
        Tell(flash, FrontEndWord::RestartWithheld);
        break;
    case FlashState::EndedEarly: flash.frontEnd->Say(flash.result); break;
    case FlashState::RestartPending: {
        const std::string cause = why.empty() ? "ended before the restart was requested" : why;
        flash.frontEnd->Say(cause + ": no restart was requested. Restart the computer to finish.");
        Record(flash, RecordEvent::RestartNotRequested, 0, cause);
        Tell(flash, FrontEndWord::RestartWithheld);
        break;
    }
    case FlashState::RestartAsked:
        flash.frontEnd->Say("the restart was requested; the program ended before the system answered.");
        break;
    default: break;  // nothing new to tell
    }
}
}  // namespace

bool FlashJob::TakesEndRequest() {
    Flash &flash = *flash_;
    switch (WhatItAllows(flash.state).endRequest) {
    case EndRequest::Held: Enter(flash, FlashEvent::EndRequested); return true;
    case EndRequest::AlreadyHeld: return true;
    case EndRequest::EndsNow: break;
    }
    if (flash.state != FlashState::Idle) {
        SayHowTheFlashEnds(flash);
        Enter(flash, FlashEvent::EndRequested);
    }
    return false;
}

void FlashJob::EndsWithProgram(const std::string &why) {
    Flash &flash = *flash_;
    if (flash.state == FlashState::Idle || flash.state == FlashState::Ended) return;
    SayHowTheFlashEnds(flash, why);
    Enter(flash, FlashEvent::EndRequested);
}

void FlashJob::FinishAtProgramEnd() {
    Flash &flash = *flash_;
    if (!flash.channel.Open()) return;
    // Still written, the flash is the process's to finish; otherwise the
    // program has said what became of the restart, and the drive may go.
    if (flash.answered) Release(flash);
    flash.watch.reset();
    flash.channel.Close();
}

bool FlashTakesEndRequest() { return TheFlash != nullptr && TheFlash->TakesEndRequest(); }

void FlashEndsWithProgram(const std::string &why) {
    if (TheFlash != nullptr) TheFlash->EndsWithProgram(why);
}

bool RequestRestartAfterFlashes(const std::vector<FlashJob *> &jobs, FlashFrontEnd &frontEnd) {
    // Without every flash waiting for it (the program ending, or the restart
    // asked already) nothing is asked.
    for (const FlashJob *job : jobs)
        if (job->flash_->state != FlashState::RestartPending && job->flash_->state != FlashState::Idle) return false;
    RestartFlashes.clear();
    for (FlashJob *job : jobs) {
        Flash &flash = *job->flash_;
        if (flash.state != FlashState::RestartPending) continue;
        Record(flash, RecordEvent::RestartRequested);
        Tell(flash, FrontEndWord::RestartRequested);
        Enter(flash, FlashEvent::RestartRequested);
        RestartFlashes.push_back(&flash);
    }
    RestartFrontEnd = &frontEnd;
    // The answer comes later, perhaps after the system asked the user: a
    // refusal must reach the user, who would otherwise wait for a restart
    // that never comes.
    SetRestartRefusedHandler(RestartRefused);
    SetRestartAcceptedHandler(RestartAccepted);
    ExitWindowsEx(EWX_REBOOT, 0);
    return true;
}

bool RequestRestartAfterFlash(FlashFrontEnd &frontEnd) {
    std::vector<FlashJob *> jobs;
    if (TheFlash != nullptr) jobs.push_back(TheFlash);
    return RequestRestartAfterFlashes(jobs, frontEnd);
}

namespace {
void RestartRefused(const char *reason) {
    const std::string why = reason != nullptr && reason[0] != '\0' ? reason : "no reason given.";
    if (RestartFrontEnd != nullptr) RestartFrontEnd->Say("the system refused the restart: " + why);
    bool ending = false;
    for (Flash *flash : RestartFlashes) {
        if (flash->state == FlashState::RestartAsked) {
            Record(*flash, RecordEvent::RestartRefused, 0, why);
            Tell(*flash, FrontEndWord::RestartRefused);
        } else if (flash->state != FlashState::Idle) {
            ending = true;
        }
    }
    // Once the program is ending nobody is left to read a box.
    if (ending) return;
    for (Flash *flash : RestartFlashes) Enter(*flash, FlashEvent::RestartRefused);
    if (RestartFrontEnd != nullptr) RestartFrontEnd->ShowRestartRefused(reason);
    for (Flash *flash : RestartFlashes) Enter(*flash, FlashEvent::BoxClosed);
}

void RestartAccepted() {
    if (RestartFrontEnd != nullptr) RestartFrontEnd->Say("the restart was requested and the system accepted it.");
    for (Flash *flash : RestartFlashes) {
        if (flash->state == FlashState::RestartAsked) {
            Record(*flash, RecordEvent::RestartAccepted);
            Tell(*flash, FrontEndWord::RestartAccepted);
        }
        Enter(*flash, FlashEvent::RestartAccepted);
    }
}
}  // namespace

void FinishFlashAtProgramEnd() {
    CollectEndedProcesses();
    if (TheFlash != nullptr) TheFlash->FinishAtProgramEnd();
}
