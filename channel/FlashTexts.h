// What a flash says, as plain functions, from here alone: the boxes the window
// shows (the terminal says each in one line), the sentences both ends of a
// flash's channel say on standard error, so that the two processes' words
// cannot drift, and the words of a flash's outcome wherever people read them
// (the history, a tower's table, the boxes after a restart). \n starts a new
// line of a box.
#pragma once

#include <string>

#include "drive/FailureCause.h"
#include "record/FlashOutcome.h"

// What the flash's process tells of a failed command: `cause` as the user is
// told it, with the USB advice where the drive is on USB and refused the
// first block as a command it does not know, or did not answer it; empty for
// a cause of which nothing more is known.
std::string TellFailure(const FailureCause &cause, DriveTransport transport, bool firstBlock);

// The result box of the drive's answer to the final block: accepted, or
// refused with a line more of what is known of the cause.
std::string ResultText(const FlashOutcome &outcome);
// The transfer ended early: the drive refused a block before the final one
// (block 0: the transfer could not be started), or went away; what is known
// of the cause follows, a line more.
std::string EndedEarlyText(const FlashOutcome &outcome);
// The flash's process ended before the drive had answered: the flash was cut
// off at its block.
std::string CutOffText(const FlashOutcome &outcome);
// The system refused the restart for `reason` (null or empty: none given).
std::string RestartRefusedText(const char *reason);

// The drive's answer as standard error says it (accepted, refused, gone), or
// the flash cut off by its process's end (`why`: how it ended), with what is
// known of why.
std::string OutcomeSentence(const FlashOutcome &outcome);
// "<cause>: no restart was requested. Restart the computer to finish."
std::string NoRestartSentence(const std::string &cause);

// The outcome in a few words, as a history's line and a tower's table say
// it: "accepted", "refused at block 3 of 7", "went away at block 3 of 7",
// "cut off at block 3 of 7", "not written", "not answered".
std::string OutcomeWords(const FlashOutcome &outcome);

// The boxes at the window's start, of flashes the record tells of. `model`:
// the drive's model as the window shows it; the other texts are the
// record's, each cut to a length a box can show.
// The drive reports the version its flash named.
std::string FirmwareUpdatedText(const std::string &model, const std::string &version, const std::string &was);
// After a restart the drive still reports another.
std::string FirmwareNotUpdatedText(const std::string &model, const std::string &runs, const std::string &wanted);
// A flash whose front end was gone (`who`, the record's detail) before the
// drive answered: its outcome.
std::string UnattendedText(const std::string &model, const std::string &version, const std::string &who,
                           const FlashOutcome &outcome);

// The desktop's notice of a flash that ended with nobody left to tell (its
// front end gone, no one following): what the drive answered, and what to do.
struct EndedAloneNotice {
    std::string summary;
    std::string body;
};
EndedAloneNotice NoticeOfTheEnd(const std::string &model, const std::string &version, const std::string &who,
                                const FlashOutcome &outcome);
