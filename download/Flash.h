// A flash: one object with one owner, from Download until the system has
// answered the restart (or the flash ended early). It checks the loaded image
// once more and seals a copy of it in memory that nobody can change, then
// starts the flash's own process (Transfer.h), which holds the drive and the
// shutdown inhibitors and sends every block from that copy, and follows it
// over the channel (FlashChannel.h) on the user-interface loop. Its state
// (FlashState.h) changes here and only here; the front end (the window,
// quorvel-flash) is told of every change and shows it, deciding nothing by
// itself. The front end can die and the flash goes on: the process carries it.
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
    DriveUnguarded,     // nothing can keep other processes off this drive (FlashRefusalReason says why)
    NoFlashProcess,     // the flash's process could not be started, or did not take the flash (why: ditto)
};

// What shows a flash to the user. Every call is made on the user-interface
// thread, as the flash's process tells its events; a call that shows a box
// returns once the user has closed it (the process goes on meanwhile).
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
    // The flash's process ended before the drive had answered: the flash was
    // cut off at block `block` of `count` (the one in the drive then).
    virtual void ShowProcessLost(int block, int count) = 0;
    // The system refused the restart, for `reason`.
    virtual void ShowRestartRefused(const char *reason) = 0;
    // One line for standard error, after the program's name.
    virtual void Say(const std::string &line) = 0;
    // The program's name, as the record of the flash names it.
    virtual const char *Program() const = 0;
    // The program ends now: a request to end it was held until the drive
    // had answered, and it has.
    virtual void EndProgram() = 0;
};

// Checks the loaded image (ImagePath, ImageSize, the trailer's figures)
// once more, seals a copy of it, and starts the flash's process for
// SelectedAdapter, SelectedTarget, which takes the drive and waits for
// StartFlash. `program` names the front end (the record's program). On anything but Ready nothing is held and nothing was sent;
// `verdict` says why a NotValid plan is one. Only while the flash allows a
// new one.
FlashCheck PrepareFlash(const char *program, PlanVerdict *verdict);
// Why the last PrepareFlash answered DriveUnguarded or NoFlashProcess, in a
// sentence for the user.
std::string FlashRefusalReason();
// Starts the prepared flash: the process begins with the blocks. `frontEnd`
// shows it from now on.
void StartFlash(FlashFrontEnd &frontEnd);

// The state of the flash; Idle when there is none.
FlashState CurrentFlashState();
// What it allows now.
FlashAllows FlashAllowsNow();
// True from StartFlash until the process has told the drive's answer (or
// has ended without it).
bool DriveBeingWrittenNow();
// Blocks the drive has accepted so far in this flash, as its process told.
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

// The program's end, when its message loop is over: the flash's process is
// told that the drive may go, or, while the drive is still written, left to
// finish the flash alone. Nothing is waited for.
void FinishFlashAtProgramEnd();
