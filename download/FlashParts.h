// Inside download/: the flash as one object, shared by the file that
// follows its process (FlashJob.cpp) and the file of its ends, its restart
// and the window's one flash (Flash.cpp). Nothing outside download/ sees it.
#pragma once

#include <string>
#include <vector>

#include "download/Flash.h"
#include "download/FlashChannel.h"
#include "download/FlashRecord.h"
#include "platform/FlashProcess.h"

// One flash. Made and changed on the user-interface thread only.
struct Flash {
    FlashState state = FlashState::Idle;
    FlashFrontEnd *frontEnd = nullptr;
    BlockPlan plan;
    int count = 0;
    // The flash's process and the channel to it; gone once it has ended.
    HANDLE process = nullptr;
    ChannelEnd channel;
    ChannelLines lines;
    Hold watch;
    bool pumping = false;        // events are being acted on; a nested call only reads
    bool channelEnded = false;   // the process's end of the channel is closed
    bool endHandled = false;
    bool releaseSent = false;
    bool processReleased = false;  // the process let the drive go (asked, or on its own)
    // What the process told so far.
    int accepted = 0;
    bool finalOut = false;
    bool answered = false;  // the drive's answer, or the process lost without it
    FlashJob::Answer answer = FlashJob::Answer::Pending;
    int answerBlock = 0;
    // What standard error is told of the drive's answer, once it is known.
    std::string result;
    // Why the program ends without the restart, when it does.
    std::string endCause = "asked to end during the download";
    // What the record says of this flash on every line: the drive, the image.
    FlashRecord record;
};

namespace flashparts {
// A process whose channel has closed ends at once; it is waited for that long.
constexpr DWORD kEndWaitMilliseconds = 2000;

// The flashes whose restart was asked for (Flash.cpp).
extern std::vector<Flash *> RestartFlashes;

// Flashes' processes let go before they had ended, collected when they have.
void CollectEndedProcesses();
// One word to the flash's process.
void Tell(Flash &flash, FrontEndWord word);
// The drive may go: the flash is over, for this program.
void Release(Flash &flash);
// The flash's next state, as NextFlashState gives it for `event`; the front
// end is told.
void Enter(Flash &flash, FlashEvent event);
// One line of the record, this flash's.
void Record(Flash &flash, RecordEvent event, int block = 0, const std::string &detail = "");
// "<why the program ends>: no restart was requested. ..."
std::string NoRestartLine(const Flash &flash);
// The channel closed, the process let go: it has ended or is about to. Its
// exit is collected (waited for up to `wait` ms; else later), and how it
// ended said.
std::string ProcessEnd(Flash &flash, DWORD wait = kEndWaitMilliseconds);
}  // namespace flashparts
