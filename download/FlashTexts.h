// What a flash says, as plain functions: the boxes the window shows (the
// terminal says each in one line), and the sentences that both ends of a
// flash's channel say on standard error, from here alone so that the two
// processes' words cannot drift. \n starts a new line of a box.
#pragma once

#include <cstdint>
#include <string>

#include "download/CheckedImage.h"

// Download refused before anything was sent: `verdict` says why for
// NotValid, `imageSize` is the image's for TooLargeForMemory, and `reason`
// is why the flash's process refused (DriveUnguarded, NoFlashProcess).
std::string FlashRefusalText(FlashCheck check, PlanVerdict verdict, int32_t imageSize,
                             const std::string &reason = {});
// The transfer ended early: the drive refused block `block` of `count`, or
// (block 0) the transfer could not be started.
std::string EndedEarlyText(int block, int count);
// The flash's process ended before the drive had answered: the flash was cut
// off at block `block` of `count`.
std::string ProcessLostText(int block, int count);
// The system refused the restart for `reason` (null or empty: none given).
std::string RestartRefusedText(const char *reason);

// The drive's answer as standard error says it: it accepted all `count`
// blocks, or it refused block `block` (`count`: the final one; 0: the
// transfer could not be started, nothing was sent).
std::string DriveAnswerSentence(bool accepted, int block, int count);
// The flash's process ended (`how`) before the drive had answered: the flash
// was cut off at block `block` of `count`.
std::string ProcessLostSentence(int block, int count, const std::string &how);
// "<cause>: no restart was requested. Restart the computer to finish."
std::string NoRestartSentence(const std::string &cause);
