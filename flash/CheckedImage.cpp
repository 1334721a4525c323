// The loaded image checked once more and sealed; see CheckedImage.h.
#include "flash/CheckedImage.h"

#include <cstring>
#include <memory>

#include "image/ImageRules.h"
#include "image/Trailer.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "platform/win32.h"
#include "state/SharedState.h"

namespace {
// The file must still be the one that was checked when the image was loaded:
// its length (the blocks line up with the trailer) and its trailer, read by
// the same position rule from `bytes`, the image's ImageSize bytes.
bool IsTheLoadedImage(const uint8_t *bytes) {
    const int64_t offset = TrailerOffset(ImageSize, bytes[ImageSize - kTrailerNearBack]);
    return offset >= 0 && std::memcmp(bytes + offset, ImageTrailer, kTrailerSize) == 0;
}
}  // namespace

BlockPlan PlanOfTheLoadedImage() { return MakeBlockPlan(ImageSize, BlockSizeKb, BlockCount, kTransferBufferSize); }

FlashCheck CheckTheLoadedImage(const BlockPlan &plan, CheckedImage *image) {
    if (ImageSize < kTrailerNearBack || TransferBuffer == nullptr || ImagePath[0] == '\0')
        return FlashCheck::NotOpened;
    // Opened anew: a regular file only, so that a FIFO put in its place does
    // not hold up the window.
    RawFile *file = ImageFile = OpenRawFile(ImagePath);
    if (file == nullptr) return FlashCheck::NotOpened;
    const auto closeFile = [](RawFile *f) {
        CloseRawFile(f);
        ImageFile = nullptr;
    };
    std::unique_ptr<RawFile, decltype(closeFile)> closing(file, closeFile);
    if (RawFileSize(file) != ImageSize) return FlashCheck::NotOpened;

    if (plan.verdict != PlanVerdict::Ok) return FlashCheck::NotValid;
    image->plan = plan;
    image->blockKb = BlockSizeKb;
    image->blockCount = BlockCount;

    // The copy is checked once sealed: what passes is what the drive gets,
    // whatever happens to the file from here.
    SealedImage::Failure failure = SealedImage::Failure::None;
    image->copy = SealedImage::Copy(file, ImageSize, &failure);
    if (failure == SealedImage::Failure::NoMemory) return FlashCheck::TooLargeForMemory;
    if (!image->copy.Valid() || RawFileSize(file) != ImageSize || !IsTheLoadedImage(image->copy.Bytes()))
        return FlashCheck::NotOpened;

    FlashRecord &record = image->record;
    const char *slash = std::strrchr(ImagePath, '/');
    record.file = slash != nullptr ? slash + 1 : ImagePath;
    record.size = ImageSize;
    // The bytes the drive gets: the sealed copy's, never the file's again.
    record.sha256 = Sha256Hex(image->copy.Bytes(), static_cast<size_t>(image->copy.Size()));
    record.version = FieldText(std::string_view(ImageVersion, 4));
    record.blocks = static_cast<int>(image->plan.steps.size());
    return FlashCheck::Ready;
}

namespace {
const char *PlanProblem(PlanVerdict verdict) {
    switch (verdict) {
    case PlanVerdict::NoBlocks: return "The file names no blocks to send.";
    case PlanVerdict::EmptyBlocks: return "The file names blocks of 0 KB.";
    case PlanVerdict::FileTooShort: return "The file is shorter than its blocks.";
    case PlanVerdict::BlockTooLong: return "Its final block is larger than 512 KB.";
    case PlanVerdict::Ok: break;
    }
    return "";
}
}  // namespace

std::string FlashRefusalText(FlashCheck check, PlanVerdict verdict, int32_t imageSize, const std::string &reason) {
    switch (check) {
    case FlashCheck::NotOpened: return "Flash File Not Opened!!";
    case FlashCheck::NotValid:
        return std::string("Flash File Not Valid!!\n") + PlanProblem(verdict) + "\nNothing was sent to the drive.";
    case FlashCheck::TooLargeForMemory: {
        char text[256];
        wsprintfA(text, "Flash File Too Large!!\nThere is no memory for its %d bytes.\nNothing was sent to the drive.",
                  imageSize);
        return text;
    }
    case FlashCheck::DriveBusy:
        return " DOWNLOAD BUSY!! \n" + (reason.empty() ? "Another program is writing to this drive." : reason) +
               "\nNothing was sent to it.";
    case FlashCheck::DriveUnguarded:
        return " DOWNLOAD NOT GUARDED!! \n" + reason + "\nNothing was sent to the drive.";
    case FlashCheck::NoFlashProcess:
        return " DOWNLOAD FAIL!! \nThe program that writes the drive could not take the flash.\n" + reason +
               "\nNothing was sent to the drive.";
    case FlashCheck::Ready: break;
    }
    return "";
}
