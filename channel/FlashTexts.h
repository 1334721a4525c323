// What a flash says, as plain functions: the boxes the window shows (the
// terminal says each in one line), and the sentences that both ends of a
// flash's channel say on standard error, from here alone so that the two
// processes' words cannot drift. \n starts a new line of a box.
#pragma once

#include <cstdint>
#include <string>

#include "drive/FailureCause.h"

// Why the drive's last command of a flash failed, as the flash's process
// told it: the record's word for the cause (refused, timeout, gone, adapter,
// unknown; empty when nothing was told), and what the user is told of it,
// a line or two ("The drive said: ...", the USB advice; empty when nothing
// more is known than that the command failed).
struct FailureTold {
    std::string kind;
    std::string text;
    bool Gone() const { return kind == "gone"; }
};
// What the flash's process tells of a failed command: `cause` as the user
// is told it, with the USB advice where the drive is on USB and refused the
// first block as a command it does not know, or did not answer it.
FailureTold TellFailure(const FailureCause &cause, DriveTransport transport, bool firstBlock);

// The transfer ended early: the drive refused block `block` of `count`, or
// (block 0) the transfer could not be started, or the drive went away at that
// block (`why`); what is known of the cause follows, a line more.
std::string EndedEarlyText(int block, int count, const FailureTold &why = {});
// The result box of a refused final block, and a line more with what is known
// of the cause.
std::string FinalRefusedText(const FailureTold &why);
// The flash's process ended before the drive had answered: the flash was cut
// off at block `block` of `count`.
std::string ProcessLostText(int block, int count);
// The system refused the restart for `reason` (null or empty: none given).
std::string RestartRefusedText(const char *reason);

// The drive's answer as standard error says it: it accepted all `count`
// blocks, or it refused block `block` (`count`: the final one; 0: the
// transfer could not be started, nothing was sent), or went away there; and
// what is known of why.
std::string DriveAnswerSentence(bool accepted, int block, int count, const FailureTold &why = {});
// The flash's process ended (`how`) before the drive had answered: the flash
// was cut off at block `block` of `count`.
std::string ProcessLostSentence(int block, int count, const std::string &how);
// "<cause>: no restart was requested. Restart the computer to finish."
std::string NoRestartSentence(const std::string &cause);
