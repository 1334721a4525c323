// The Open command, and the pieces of it that the autorun load shares.
#pragma once

#include "image/Trailer.h"

// Refusals of our own, beside the system's "File Not Opened!!".
constexpr char kTextFileTooLarge[] = "File Too Large (2 GiB or more) !!";
constexpr char kTextPathTooLong[] = "File Path Too Long (over 131 characters) !!";

// The error box for a file that ReadImageTrailer refused: "File Not Opened!!",
// or the too-large text for a file of 2 GiB or more.
void ReportTrailerFailure(TrailerFailure why);

// Open: the user chooses an image; its trailer is read and its model checked
// against the selected drive; the outcome is reported in a box, and on
// success the fields show the image with "READY".
void OpenImage();
