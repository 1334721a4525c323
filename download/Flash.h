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
#include <memory>
#include <string>
#include <vector>

#include "download/BlockPlan.h"
#include "download/FlashRecord.h"
#include "download/FlashState.h"
#include "platform/FlashProcess.h"
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

// The loaded image checked once more (ImagePath, ImageSize, the trailer and
// its figures) and sealed in memory that nobody can change: what every flash
// of it sends, its block plan, and the image's part of the record (its name,
// size, SHA-256 of the sealed bytes, version). Made once, however many drives
// it goes to.
struct CheckedImage {
    SealedImage copy;
    BlockPlan plan;
    int32_t blockKb = 0;
    int32_t blockCount = 0;
    FlashRecord record;
};
// NotOpened, NotValid (`verdict` says why) or TooLargeForMemory, or Ready.
FlashCheck CheckTheLoadedImage(CheckedImage *image, PlanVerdict *verdict);

// The drive a flash goes to: where the manager has it, and what it said of
// itself (INQUIRY's 24-byte model and 4-byte revision).
struct FlashDrive {
    uint8_t adapter = 0;
    uint8_t target = 0;
    std::string model;     // 24 bytes
    std::string revision;  // 4 bytes
};

struct Flash;  // the flash as its front end follows it (FlashParts.h)

// One flash: the window follows one at a time (the functions further down);
// quorvel-flash may follow several at once, one a drive.
class FlashJob {
public:
    ~FlashJob();
    FlashJob(const FlashJob &) = delete;
    FlashJob &operator=(const FlashJob &) = delete;

    // Starts the flash's process for `drive` with `image` (handed the same
    // sealed copy as every other flash of it), which takes the drive and
    // waits for Start. On anything but Ready (DriveBusy, DriveUnguarded,
    // NoFlashProcess; `reason` says why the last two) nothing is held,
    // nothing was sent, and `job` is left empty. `program` names the front
    // end (the record's program).
    static FlashCheck Prepare(const CheckedImage &image, const FlashDrive &drive, const char *program,
                              std::unique_ptr<FlashJob> *job, std::string *reason);
    // The same for several drives at once, their processes started side by
    // side: a check, a job (or none) and a reason for each drive, in order.
    static std::vector<FlashCheck> PrepareAll(const CheckedImage &image, const std::vector<FlashDrive> &drives,
                                              const char *program, std::vector<std::unique_ptr<FlashJob>> *jobs,
                                              std::vector<std::string> *reasons);
    // The process begins with the blocks; `frontEnd` shows the flash from
    // now on.
    void Start(FlashFrontEnd &frontEnd);

    FlashState State() const;
    // True from Start until the process has told the drive's answer (or has
    // ended without it).
    bool DriveBeingWritten() const;
    // Blocks the drive has accepted so far, as the process told.
    int BlocksAccepted() const;
    int BlockCount() const;
    // How the drive answered, once it has: accepted, refused at block
    // `AnswerBlock()` (0: the transfer could not start), or cut off there by
    // the process's end.
    enum class Answer { Pending, Accepted, Refused, Lost };
    Answer DriveAnswer() const;
    int AnswerBlock() const;
    // A request to end the program: true when the flash holds it (the drive
    // is being written); false when it ends the program now, standard error
    // told where the flash stood.
    bool TakesEndRequest();
    // The program ends without asking for the restart: standard error and
    // the record say where it stood; `why` is why a restart that was due was
    // not requested.
    void EndsWithProgram(const std::string &why = {});
    // The program's end: the process is told the drive may go, or, while
    // the drive is written, left to finish alone. Nothing is waited for.
    void FinishAtProgramEnd();

private:
    explicit FlashJob(std::unique_ptr<Flash> flash);
    friend bool RequestRestartAfterFlashes(const std::vector<FlashJob *> &jobs, FlashFrontEnd &frontEnd);
    std::unique_ptr<Flash> flash_;
};

// Once BusyFlag is 0 (every job's result closed): asks the system for one
// restart for every job that awaits it (RestartPending), each recording it;
// the answer goes to each, to `frontEnd` (one box, one line) and to
// standard error. False, and nothing asked, when a job withholds it (the
// program is ending, or it was asked already).
bool RequestRestartAfterFlashes(const std::vector<FlashJob *> &jobs, FlashFrontEnd &frontEnd);

// The window's flash: one at a time, from Download until the next.

// Checks and seals the loaded image and prepares the flash to
// SelectedAdapter, SelectedTarget (DriveModel, DriveVersion). On anything
// but Ready nothing is held and nothing was sent; `verdict` says why a
// NotValid plan is one. Only while the flash allows a new one.
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
