#include "flash/FlashState.h"

FlashAllows WhatItAllows(FlashState state) {
    switch (state) {
    case FlashState::Idle: return {true, true, EndRequest::EndsNow};
    // The drive is being written: nothing may change what is flashed, and
    // ending the program would cut the drive off mid-write.
    case FlashState::Sending:
    case FlashState::FinalInDrive: return {false, false, EndRequest::Held};
    case FlashState::Ending: return {false, false, EndRequest::AlreadyHeld};
    // A box is open: the drive has answered, so an end request need wait for
    // nothing; Exit is behind the box.
    case FlashState::ResultShown:
    case FlashState::RestartRefused:
    case FlashState::EndedEarly: return {false, false, EndRequest::EndsNow};
    // Until the system has answered the restart, a second flash could be cut
    // by the restart it asked for.
    case FlashState::RestartPending:
    case FlashState::RestartAsked:
    case FlashState::Restarting: return {false, true, EndRequest::EndsNow};
    case FlashState::Ended: return {false, true, EndRequest::AlreadyHeld};
    }
    return {false, false, EndRequest::AlreadyHeld};
}

FlashState NextFlashState(FlashState state, FlashEvent event) {
    using S = FlashState;
    using E = FlashEvent;
    switch (state) {
    case S::Idle:
        if (event == E::Started) return S::Sending;
        if (event == E::EndRequested) return S::Ended;
        break;
    case S::Sending:
        if (event == E::FinalSent) return S::FinalInDrive;
        if (event == E::TransferEnded) return S::EndedEarly;
        if (event == E::EndRequested) return S::Ending;
        break;
    case S::FinalInDrive:
        if (event == E::ResultReported) return S::ResultShown;
        // The flash's process ended with the final block in the drive.
        if (event == E::TransferEnded) return S::EndedEarly;
        if (event == E::EndRequested) return S::Ending;
        break;
    case S::Ending:
        if (event == E::ResultReported || event == E::TransferEnded) return S::Ended;
        break;
    case S::ResultShown:
        if (event == E::ResultClosed) return S::RestartPending;
        // A flash whose restart is not this program's: idle once seen.
        if (event == E::BoxClosed) return S::Idle;
        if (event == E::EndRequested) return S::Ended;
        break;
    case S::RestartPending:
        if (event == E::RestartRequested) return S::RestartAsked;
        if (event == E::EndRequested) return S::Ended;
        break;
    case S::RestartAsked:
        if (event == E::RestartAccepted) return S::Restarting;
        if (event == E::RestartRefused) return S::RestartRefused;
        if (event == E::EndRequested) return S::Ended;
        break;
    case S::Restarting:
        if (event == E::EndRequested) return S::Ended;
        break;
    case S::RestartRefused:
    case S::EndedEarly:
        if (event == E::BoxClosed) return S::Idle;
        if (event == E::EndRequested) return S::Ended;
        break;
    case S::Ended: break;
    }
    return state;
}

bool DriveBeingWritten(FlashState state) {
    return state == FlashState::Sending || state == FlashState::FinalInDrive || state == FlashState::Ending;
}
