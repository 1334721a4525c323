// What the boxes of a flash say, as plain functions: the window shows them in
// boxes, the terminal says them in lines. \n starts a new line of a box.
#pragma once

#include <cstdint>
#include <string>

#include "download/Flash.h"

// Download refused before anything was sent (PrepareFlash's verdict; `verdict`
// for NotValid, `imageSize` for TooLargeForMemory).
std::string FlashRefusalText(FlashCheck check, PlanVerdict verdict, int32_t imageSize);
// The same with `reason`, why a flash's process refused (DriveUnguarded,
// NoFlashProcess), for a flash other than the window's.
std::string FlashRefusalText(FlashCheck check, PlanVerdict verdict, int32_t imageSize, const std::string &reason);
// The transfer ended early: the drive refused block `block` of `count`, or
// (block 0) the transfer could not be started.
std::string EndedEarlyText(int block, int count);
// The flash's process ended before the drive had answered: the flash was cut
// off at block `block` of `count`.
std::string ProcessLostText(int block, int count);
// The system refused the restart for `reason` (null or empty: none given).
std::string RestartRefusedText(const char *reason);
