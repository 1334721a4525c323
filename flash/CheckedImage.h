// The loaded image checked once more and sealed: before a flash begins, the
// file is opened again and must still be the image that Open checked, its
// blocks must fit it, and its bytes are copied into memory that nobody can
// change from then on. Every flash of it, to however many drives, sends that
// copy.
#pragma once

#include <cstdint>
#include <string>

#include "image/BlockPlan.h"
#include "record/FlashRecord.h"
#include "platform/FlashProcess.h"

// Why a flash is refused before anything is sent, decided in this order:
// the image's three here, then the drive's and its process's (Flash::Prepare).
enum class FlashCheck {
    Ready,
    NotOpened,          // no image loaded, the file gone, changed since it was loaded, or unreadable
    NotValid,           // the trailer's figures do not fit the file
    TooLargeForMemory,  // no memory for a copy of the image
    DriveBusy,          // another process is writing to this drive
    DriveUnguarded,     // nothing can keep other processes off this drive (the reason says why)
    NoFlashProcess,     // the flash's process could not be started, or did not take the flash (ditto)
};

// What every flash of the image sends, its block plan, and the image's part of
// the record (its name, size, SHA-256 of the sealed bytes, version).
struct CheckedImage {
    SealedImage copy;
    BlockPlan plan;
    int32_t blockKb = 0;
    int32_t blockCount = 0;
    FlashRecord record;
};

// The block plan of the loaded image (ImageSize, BlockSizeKb, BlockCount),
// made once by a front end: its checks judge it, its progress counts its
// bytes, and every flash of the image sends it.
BlockPlan PlanOfTheLoadedImage();
// The loaded image (ImagePath, ImageSize, ImageTrailer) checked and sealed
// into `image` with `plan`, the loaded image's plan: NotOpened, NotValid
// (the plan's verdict says why) or TooLargeForMemory, or Ready.
FlashCheck CheckTheLoadedImage(const BlockPlan &plan, CheckedImage *image);

// Download refused before anything was sent: `verdict` says why for
// NotValid, `imageSize` is the image's for TooLargeForMemory, and `reason`
// is why the flash's process refused (DriveUnguarded, NoFlashProcess) or the
// drive is busy otherwise than with another flash (DriveBusy).
std::string FlashRefusalText(FlashCheck check, PlanVerdict verdict, int32_t imageSize,
                             const std::string &reason = {});
