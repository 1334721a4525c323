// A flash: one object with one owner, from Download until the system has
// answered the restart (or the flash ended early). It checks the loaded image
// once more, reads it into memory of its own, holds the drive and the
// shutdown inhibitors, and has a worker, TransferThread, send every block
// from that copy. Its state (FlashState.h) changes here and only here; the
// front end (the window) is told of every change and shows it, deciding
// nothing by itself.
#pragma once

#include <cstdint>
#include <string>

#include "download/BlockPlan.h"
#include "download/FlashState.h"
#include "platform/win32.h"

// Why a flash is refused before anything is sent, decided in this order.
enum class FlashCheck {
    Ready,
    NotOpened,          // no image loaded, the file gone, changed since it was loaded, or unreadable
    NotValid,           // the trailer's figures do not fit the file
    TooLargeForMemory,  // no memory for a copy of the image
    DriveBusy,          // another process is writing to this drive
    DriveUnguarded,     // nothing can keep other processes off this drive (the platform says why)
};

// What shows a flash to the user. Every call but Say is made on the
// user-interface thread (handed over there when it comes from the worker); a
// call that shows a box returns once the user has closed it, and holds the
// worker until then.
class FlashFrontEnd {
public:
    virtual ~FlashFrontEnd() = default;
    // The flash entered `state`: what it allows (WhatItAllows) is now so.
    virtual void FlashStateChanged(FlashState state) = 0;
    // The final command goes to the drive now.
    virtual void FinalBlockGoing() = 0;
    // The drive has answered the last command of this flash; `accepted` when
    // it took the final block.
    virtual void TransferOver(bool accepted) = 0;
    // The result box: the drive took the final block, or refused it.
    virtual void ShowResult(bool accepted) = 0;
    // The transfer ended early: the drive refused block `block` of `count`,
    // or (block 0) the transfer could not be started.
    virtual void ShowEndedEarly(int block, int count) = 0;
    // The system refused the restart, for `reason`.
    virtual void ShowRestartRefused(const char *reason) = 0;
    // One line for standard error, after the program's name. Any thread.
    virtual void Say(const std::string &line) = 0;
    // The program's name, as the record of the flash names it.
    virtual const char *Program() const = 0;
    // The program ends now: a request to end it was held until the drive
    // had answered, and it has.
    virtual void EndProgram() = 0;
};

// Checks the loaded image (ImagePath, ImageSize, the trailer's figures)
// once more and prepares the flash to SelectedAdapter, SelectedTarget: the
// image's copy, its block plan, the drive's lock. On anything but Ready
// nothing is held and nothing was sent; `verdict` says why a NotValid plan
// is one. Only while the flash allows a new one.
FlashCheck PrepareFlash(PlanVerdict *verdict);
// Starts the prepared flash: the inhibitors, then the worker. `frontEnd`
// shows it from now on.
void StartFlash(FlashFrontEnd &frontEnd);

// The worker: every block from the flash's copy, then ReportDownloadResult.
DWORD TransferThread(void *parameter);
// One block as the worker sends it: its bytes from the image copy into the
// start of TransferBuffer (the rest of the buffer as the blocks before left
// it), byte 5 of DownloadCommand, and the command moving 65536 bytes to the
// drive. Returns the completion status.
int SendImageBlock(const uint8_t *image, const BlockStep &step, uint8_t adapter, uint8_t target);
// Completion steps after the final command, on the user-interface thread:
// the drive's holds go, the front end shows the result; BusyFlag 0 once the
// user has closed it.
void ReportDownloadResult(uint8_t status);

// The state of the flash; Idle when there is none. User-interface thread.
FlashState CurrentFlashState();
// What it allows now.
FlashAllows FlashAllowsNow();
// True from the start of the worker until its last step: while it holds,
// TransferBuffer and DownloadCommand are the worker's.
bool DownloadWorkerRunning();
// Blocks the drive has accepted so far in this flash. Any thread.
int BlocksAccepted();

// A request to end the program (a signal). True when the flash takes it: the
// drive is being written, and the program ends once it has answered (the
// result then goes to standard error and no restart is requested). False:
// the caller ends the program as Exit does; standard error has been told
// where the flash stood.
bool FlashTakesEndRequest();
// The program ends by Exit or the close box (only where the flash allows
// it), or a front end that asks for no restart ends it: standard error says
// where the restart stood. `why`, when given, is why a restart that was due
// was not requested (the record's detail), in place of the program ending
// before it.
void FlashEndsWithProgram(const std::string &why = {});

// Once BusyFlag is 0: asks the system for the restart, unless the flash
// withholds it (the program is ending, or it was asked already). The answer
// goes to `frontEnd` and to standard error. True when it was asked.
bool RequestRestartAfterFlash(FlashFrontEnd &frontEnd);

// The program's end: the user-interface thread runs no more work, and a
// worker still writing the drive is waited for until the drive has answered
// the final block (its result then goes to standard error) and joined; then
// the drive is let go, unless `letTheDriveGo` is false (the process is
// exiting, and the system lets go of it with the process). Called when the
// message loop is over, and from the process's exit, which the toolkit calls
// on its own when the display goes away.
void FinishFlashAtProgramEnd(bool letTheDriveGo = true);
