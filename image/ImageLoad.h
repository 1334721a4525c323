// Open's checks of an image, free of any window: what the Open command, and
// any other front end, applies to a chosen file before it counts as loaded.
#pragma once

#include <string>

#include "image/Trailer.h"

// Refusals of our own, beside the system's "File Not Opened!!".
constexpr char kTextFileTooLarge[] = "File Too Large (2 GiB or more) !!";
constexpr char kTextPathTooLong[] = "File Path Too Long (over 131 characters) !!";

// Why an image was not loaded, decided in this order.
enum class ImageLoad {
    Loaded,
    PathTooLong,     // the path does not fit ImagePath (131 characters) whole
    Unreadable,      // ReadImageTrailer refused the file (TrailerFailure says why)
    DifferentModel,  // the trailer names another model than the drive's
};

// Open's steps 3 to 6: ImagePath becomes `path` (empty when it does not fit:
// cutting it would name another file); the trailer is read into the shared
// state; with `driveModel` (24 bytes) given, the model must match it; then
// BlockSizeKb and BlockCount come from the trailer. On anything but Loaded,
// ImageSize is 0 and BlockSizeKb, BlockCount are untouched. `why` tells an
// Unreadable file apart.
ImageLoad LoadImageFile(const std::string &path, const char *driveModel, TrailerFailure *why);

// What a box says of a refusal: "File Path Too Long ...", "File Not
// Opened!!" (or the too-large text for a file of 2 GiB or more), "Different
// Model !!".
const char *ImageRefusalText(ImageLoad load, TrailerFailure why);

// What a box says of the loaded image: "File Open OK !!\n%ub %dKb %dCmd", the
// block size in bytes, LastBlockKb as Open works it out, and BlockCount.
std::string ImageFiguresText();
