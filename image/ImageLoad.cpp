#include "image/ImageLoad.h"

#include <cstring>

#include "image/ImageRules.h"
#include "platform/win32.h"
#include "state/SharedState.h"

ImageLoad LoadImageFile(const std::string &path, const char *driveModel, TrailerFailure *why) {
    *why = TrailerFailure::None;
    // A longer path is refused whole: cutting it would name another file, and
    // copying it would overrun the buffer.
    if (path.size() >= sizeof(ImagePath) || path.find('\0') != std::string::npos) {
        ImagePath[0] = '\0';
        ImageSize = 0;
        return ImageLoad::PathTooLong;
    }
    std::memcpy(ImagePath, path.c_str(), path.size() + 1);

    if (!ReadImageTrailer(ImagePath, why)) {
        ImageSize = 0;
        return ImageLoad::Unreadable;
    }
    if (driveModel != nullptr && !ModelMatches(driveModel, ImageModel)) {
        ImageSize = 0;
        return ImageLoad::DifferentModel;
    }
    BlockSizeKb = ImageTrailer[28];
    BlockCount = ImageTrailer[29];
    return ImageLoad::Loaded;
}

const char *ImageRefusalText(ImageLoad load, TrailerFailure why) {
    switch (load) {
    case ImageLoad::PathTooLong: return kTextPathTooLong;
    case ImageLoad::Unreadable: return why == TrailerFailure::TooLarge ? kTextFileTooLarge : "File Not Opened!!";
    case ImageLoad::DifferentModel: return "Different Model !!";
    case ImageLoad::Loaded: break;
    }
    return "";
}

std::string ImageFiguresText() {
    const uint8_t lastBlockKb = LastBlockKbFromSize(ImageSize, BlockSizeKb, BlockCount);
    char text[128];
    wsprintfA(text, "File Open OK !!\n%ub %dKb %dCmd", static_cast<unsigned>(BlockSizeKb * 1024),
              static_cast<int>(lastBlockKb), static_cast<int>(BlockCount));
    return text;
}
