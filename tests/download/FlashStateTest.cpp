// A flash's life as a table: what each state allows, what a request to end
// the program does there, and where each event leads.
#include <gtest/gtest.h>

#include "flash/FlashState.h"

namespace {
using S = FlashState;
using E = FlashEvent;
using R = EndRequest;

struct Row {
    S state;
    bool newFlash;    // Open, Download, the drive list
    bool programEnd;  // Exit, the close box
    R endRequest;
};

// A state by its name, for the failures' messages.
const char *FlashStateName(FlashState state) {
    switch (state) {
    case FlashState::Idle: return "Idle";
    case FlashState::Sending: return "Sending";
    case FlashState::FinalInDrive: return "FinalInDrive";
    case FlashState::Ending: return "Ending";
    case FlashState::ResultShown: return "ResultShown";
    case FlashState::RestartPending: return "RestartPending";
    case FlashState::RestartAsked: return "RestartAsked";
    case FlashState::Restarting: return "Restarting";
    case FlashState::RestartRefused: return "RestartRefused";
    case FlashState::EndedEarly: return "EndedEarly";
    case FlashState::Ended: return "Ended";
    }
    return "?";
}
}  // namespace

TEST(FlashState, WhatEachStateAllows) {
    const Row rows[] = {
        {S::Idle, true, true, R::EndsNow},
        // the drive is being written: nothing changes the flash, and an end
        // request waits for the drive's answer to the final block
        {S::Sending, false, false, R::Held},
        {S::FinalInDrive, false, false, R::Held},
        {S::Ending, false, false, R::AlreadyHeld},
        // the drive has answered; a box is open
        {S::ResultShown, false, false, R::EndsNow},
        {S::EndedEarly, false, false, R::EndsNow},
        {S::RestartRefused, false, false, R::EndsNow},
        // until the system has answered the restart: no second flash, but the
        // program may be ended
        {S::RestartPending, false, true, R::EndsNow},
        {S::RestartAsked, false, true, R::EndsNow},
        {S::Restarting, false, true, R::EndsNow},
        {S::Ended, false, true, R::AlreadyHeld},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(FlashStateName(row.state));
        const FlashAllows allows = WhatItAllows(row.state);
        EXPECT_EQ(allows.newFlash, row.newFlash);
        EXPECT_EQ(allows.programEnd, row.programEnd);
        EXPECT_EQ(allows.endRequest, row.endRequest);
    }
}

TEST(FlashState, TheRoadsThroughAFlash) {
    struct Road {
        const char *name;
        std::vector<E> events;
        std::vector<S> states;  // after each event
    };
    const Road roads[] = {
        {"accepted, restart refused, then a new flash",
         {E::Started, E::FinalSent, E::ResultReported, E::ResultClosed, E::RestartRequested, E::RestartRefused,
          E::BoxClosed, E::Started},
         {S::Sending, S::FinalInDrive, S::ResultShown, S::RestartPending, S::RestartAsked, S::RestartRefused,
          S::Idle, S::Sending}},
        {"restart accepted, then the shutdown ends the program",
         {E::Started, E::FinalSent, E::ResultReported, E::ResultClosed, E::RestartRequested, E::RestartAccepted,
          E::EndRequested},
         {S::Sending, S::FinalInDrive, S::ResultShown, S::RestartPending, S::RestartAsked, S::Restarting, S::Ended}},
        {"a refused block",
         {E::Started, E::TransferEnded, E::BoxClosed},
         {S::Sending, S::EndedEarly, S::Idle}},
        {"the flash's process lost with the final block in the drive",
         {E::Started, E::FinalSent, E::TransferEnded, E::BoxClosed},
         {S::Sending, S::FinalInDrive, S::EndedEarly, S::Idle}},
        {"an end request during the blocks waits for the final answer",
         {E::Started, E::EndRequested, E::FinalSent, E::EndRequested, E::ResultReported},
         {S::Sending, S::Ending, S::Ending, S::Ending, S::Ended}},
        {"an end request held when the drive refuses a block",
         {E::Started, E::FinalSent, E::EndRequested, E::TransferEnded},
         {S::Sending, S::FinalInDrive, S::Ending, S::Ended}},
        {"an end request while the result is shown; the box closing changes nothing",
         {E::Started, E::FinalSent, E::ResultReported, E::EndRequested, E::ResultClosed, E::RestartRequested},
         {S::Sending, S::FinalInDrive, S::ResultShown, S::Ended, S::Ended, S::Ended}},
        {"events a state does not expect leave it",
         {E::ResultClosed, E::RestartAccepted, E::Started, E::Started, E::BoxClosed, E::ResultClosed},
         {S::Idle, S::Idle, S::Sending, S::Sending, S::Sending, S::Sending}},
    };
    for (const Road &road : roads) {
        SCOPED_TRACE(road.name);
        ASSERT_EQ(road.events.size(), road.states.size());
        S state = S::Idle;
        for (size_t i = 0; i < road.events.size(); ++i) {
            state = NextFlashState(state, road.events[i]);
            EXPECT_EQ(FlashStateName(state), FlashStateName(road.states[i])) << "after event " << i + 1;
        }
    }
}

TEST(FlashState, NoEventLeadsFromTheWrittenDriveToANewFlash) {
    // Whatever happens while the drive is written, the only ways out are the
    // drive's answer and the program's end: never straight to Idle.
    for (S state : {S::Sending, S::FinalInDrive, S::Ending}) {
        EXPECT_TRUE(DriveBeingWritten(state));
        for (int e = 0; e <= static_cast<int>(E::EndRequested); ++e) {
            const S next = NextFlashState(state, static_cast<E>(e));
            EXPECT_NE(next, S::Idle) << FlashStateName(state) << " event " << e;
            EXPECT_FALSE(WhatItAllows(next).newFlash) << FlashStateName(state) << " event " << e;
        }
    }
    EXPECT_FALSE(DriveBeingWritten(S::ResultShown));
}
