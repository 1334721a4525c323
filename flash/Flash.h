// A flash: one object, from the moment its process holds the drive until the
// system has answered the restart (or the flash ended early). Prepared, it is
// a process of its own (quorvel-transfer, transfer/Transfer.h) that holds the
// drive with the image's sealed copy (CheckedImage.h, FlashPrepare.h);
// started, the process sends every block and the flash follows what it tells
// over the channel (FlashChannel.h), on the user-interface loop. Its state
// (FlashState.h) changes here and only here; its front end (the window,
// quorvel-flash) is told of every change and shows it, deciding nothing by
// itself. The front end can die and the flash goes on: the process carries
// it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "drive/Drive.h"
#include "flash/CheckedImage.h"
#include "flash/FlashFollower.h"
#include "flash/FlashState.h"
#include "flash/FlashUnderWay.h"
#include "record/FlashOutcome.h"

// What the front end's lines on standard error are about, so that a front end
// of several flashes can say once what they all say.
enum class Said {
    OfTheFlash,    // this flash alone: its result, its process's end
    ByItsProcess,  // a line of the flash's process (no system bus, no record): of the run as much as the flash
    HowItEnds,     // how the flash ends without its restart: the same words for every flash that ends so
};

// What shows a flash to the user. Every call is made on the user-interface
// thread, as the flash's process tells its events; a call that shows a box
// returns once the user has closed it (the process goes on meanwhile).
class FlashFrontEnd {
public:
    virtual ~FlashFrontEnd() = default;
    // The flash entered `state`: what it allows (WhatItAllows) is now so.
    virtual void FlashStateChanged(FlashState state) = 0;
    // The drive accepted block `accepted` of `blocks` (not the final one).
    // Only a front end that shows the blocks needs it.
    virtual void BlockAccepted(int accepted, int blocks) {
        (void)accepted;
        (void)blocks;
    }
    // The final command goes to the drive now.
    virtual void FinalBlockGoing() = 0;
    // The drive has answered the last command of this flash, or the flash's
    // process ended before it had: `outcome`.
    virtual void TransferOver(const FlashOutcome &outcome) = 0;
    // The result box: the drive took the final block, or refused it.
    virtual void ShowResult(const FlashOutcome &outcome) = 0;
    // The flash ended early: the drive refused a block before the final one
    // (or the transfer could not be started), went away, or the flash's
    // process ended before the drive had answered (cut off).
    virtual void ShowEndedEarly(const FlashOutcome &outcome) = 0;
    // One line for standard error, after the program's name.
    virtual void Say(const std::string &line, Said said) = 0;
    // The program ends now: a request to end it was held until the drive
    // had answered, and it has.
    virtual void EndProgram() = 0;
};

// Who hears the system's answer to the restart asked for one or more flashes.
class RestartListener {
public:
    virtual ~RestartListener() = default;
    // One line for standard error, after the program's name.
    virtual void Say(const std::string &line) = 0;
    // The system refused the restart, for `reason`: the box, or its line.
    virtual void ShowRestartRefused(const char *reason) = 0;
};

// A flash as its owner holds it: the front end that started it. It owns the
// flash's process (its handle, the channel, the drive's release), follows what
// the process tells (FlashFollower.h), keeps the flash's state and asks for
// the restart, with the record's lines of both.
class Flash {
public:
    // A flash of `image` to each of `drives`, prepared side by side
    // (PrepareFlashes): for each drive, in order, Ready with its flash, which
    // holds the drive and waits for Start; or why not (`reasons` for
    // DriveBusy, DriveUnguarded and NoFlashProcess), nothing held and nothing
    // sent. `program` names the front end in the record; `restartWanted`:
    // it will ask for the restart once the drive has accepted (what a front
    // end that finds the flash under way does when it adopts it).
    static std::vector<FlashCheck> Prepare(const CheckedImage &image, const std::vector<Drive> &drives,
                                           const char *program, bool restartWanted,
                                           std::vector<std::unique_ptr<Flash>> *flashes,
                                           std::vector<std::string> *reasons);
    // The flash under way at `drive`, followed from where it stands: its
    // process is another program's, which goes on whatever becomes of this
    // one. It shows the flash and ends with it; should its starter be gone,
    // it adopts the flash's end (its result recorded, its restart when the
    // starter wanted one). Null, `problem` saying why, when none is under
    // way there.
    static std::unique_ptr<Flash> Follow(DriveAddress drive, const char *program, std::string *problem);
    ~Flash();
    Flash(const Flash &) = delete;
    Flash &operator=(const Flash &) = delete;

    // The process begins with the blocks; `frontEnd` shows the flash from
    // now on.
    void Start(FlashFrontEnd &frontEnd);

    FlashState State() const;
    // What its process told so far: the blocks the drive accepted, and how
    // the flash ended (Pending until the drive has answered).
    const FlashFollower &Followed() const;
    // A flash found under way (Follow): where it stood when found, and
    // whether this program now owns its end.
    bool FoundUnderWay() const;
    const FlashUnderWay &Found() const;
    bool Adopted() const;

    // A request to end the program: true when the flash holds it (the drive
    // is being written); false when it ends the program now, standard error
    // told where the flash stood.
    bool TakesEndRequest();
    // The program ends without asking for the restart: standard error and
    // the record say where it stood; `why` is why a restart that was due was
    // not requested (else: the program ended before it was).
    void EndsWithProgram(const std::string &why = {});
    // The program's end: the process is told the drive may go, or, while
    // the drive is written, left to finish alone. Nothing is waited for.
    void FinishAtProgramEnd();

    // Once every flash's result has been shown: one restart of the system for
    // every flash that awaits it (RestartPending), each recording it; the
    // answer goes to each flash, and to `listener`. False, and nothing asked,
    // when no flash awaits it, or one withholds it (the program is ending, or
    // it was asked already).
    static bool RequestRestart(const std::vector<Flash *> &flashes, RestartListener &listener);

private:
    struct Life;  // the flash's state, its process and what it told (Flash.cpp)
    explicit Flash(std::unique_ptr<Life> life);
    std::unique_ptr<Life> life_;
};
