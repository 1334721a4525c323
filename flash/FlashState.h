// A flash's life, from Download until the system has answered the restart
// (or the flash ended early): one named state at a time, changed only by the
// events below. Each state says what the front end allows and what a request
// to end the program does; nothing else decides those.
#pragma once

enum class FlashState {
    Idle,            // no flash: every command as usual
    Sending,         // the blocks before the final one are going to the drive
    FinalInDrive,    // the final command is in the drive; the bar moves by time
    Ending,          // the program was asked to end while the drive is written: it
                     // ends once the drive has answered
    ResultShown,     // the drive answered the final block; the result box is open
    RestartPending,  // the user closed the result box: the next tick asks for the restart
    RestartAsked,    // asked; the system's answer is awaited (it may be asking the user)
    Restarting,      // the system accepted: the program waits to be ended by the shutdown
    RestartRefused,  // the system refused the restart: the box that says so is open
    EndedEarly,      // a block was refused, the transfer could not start, or the flash's process ended
                     // before the drive had answered: its box is open
    Ended,           // the program is ending
};

enum class FlashEvent {
    Started,           // the checks passed and the transfer began
    FinalSent,         // the final command went to the drive
    ResultReported,    // the final command returned, accepted or refused
    ResultClosed,      // the user closed the result box
    RestartRequested,  // the restart was asked of the system
    RestartAccepted,
    RestartRefused,
    TransferEnded,     // the transfer ended before the drive's answer to its final block
    BoxClosed,         // the user closed the box of a refused restart or an early end
    EndRequested,      // the program is to end (a signal, Exit, the display gone)
};

// What a request to end the program does in a state.
enum class EndRequest {
    EndsNow,      // the program ends at once, standard error saying where the flash stood
    Held,         // it waits until the drive has answered the final block
    AlreadyHeld,  // one is held, or the program is ending: nothing more
};

struct FlashAllows {
    bool newFlash;    // Open, Download and the drive list
    bool programEnd;  // Exit and the close box
    EndRequest endRequest;
};

FlashAllows WhatItAllows(FlashState state);

// The state an event leads to; an event a state does not expect leaves it as
// it is (a box closed after the program began to end, say).
FlashState NextFlashState(FlashState state, FlashEvent event);

// Whether the drive is being written: from the first block until it has
// answered the final one.
bool DriveBeingWritten(FlashState state);

