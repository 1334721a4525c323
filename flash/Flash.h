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

#include "flash/CheckedImage.h"
#include "flash/FlashPrepare.h"
#include "flash/FlashState.h"
#include "channel/FlashTexts.h"

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
    // The final command goes to the drive now.
    virtual void FinalBlockGoing() = 0;
    // The drive has answered the last command of this flash; `accepted` when
    // it took the final block.
    virtual void TransferOver(bool accepted) = 0;
    // The result box: the drive took the final block, or refused it (`why`:
    // what is known of the cause).
    virtual void ShowResult(bool accepted, const FailureTold &why) = 0;
    // The transfer ended early: the drive refused block `block` of `count`,
    // or went away there (`why`), or (block 0) the transfer could not be
    // started.
    virtual void ShowEndedEarly(int block, int count, const FailureTold &why) = 0;
    // The flash's process ended before the drive had answered: the flash was
    // cut off at block `block` of `count` (the one in the drive then).
    virtual void ShowProcessLost(int block, int count) = 0;
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

class Flash {
public:
    // How the drive answered, once it has: accepted, refused at block
    // AnswerBlock() (0: the transfer could not start), gone away there, or
    // cut off there by the process's end.
    enum class Answer { Pending, Accepted, Refused, Gone, Lost };

    // A flash of `image` to each of `drives`, prepared side by side
    // (PrepareFlashes): for each drive, in order, Ready with its flash, which
    // holds the drive and waits for Start; or why not (`reasons` for
    // DriveUnguarded and NoFlashProcess), nothing held and nothing sent.
    // `program` names the front end in the record.
    static std::vector<FlashCheck> Prepare(const CheckedImage &image, const std::vector<FlashDrive> &drives,
                                           const char *program, std::vector<std::unique_ptr<Flash>> *flashes,
                                           std::vector<std::string> *reasons);
    ~Flash();
    Flash(const Flash &) = delete;
    Flash &operator=(const Flash &) = delete;

    // The process begins with the blocks; `frontEnd` shows the flash from
    // now on.
    void Start(FlashFrontEnd &frontEnd);

    FlashState State() const;
    // Blocks the drive has accepted so far, as the process told.
    int BlocksAccepted() const;
    Answer DriveAnswer() const;
    int AnswerBlock() const;
    // Why the drive's last command failed, as the process told it.
    const FailureTold &Failure() const;

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
    // when a flash withholds it (the program is ending, or it was asked
    // already).
    static bool RequestRestart(const std::vector<Flash *> &flashes, RestartListener &listener);

private:
    struct Life;  // the flash's state, its process and what it told (Flash.cpp)
    explicit Flash(std::unique_ptr<Life> life);
    std::unique_ptr<Life> life_;
};
