// The Open command, and the pieces of it that the autorun load shares.
#pragma once

#include "image/ImageLoad.h"
#include "image/Trailer.h"

// The error box for a file that ReadImageTrailer refused: "File Not Opened!!",
// or the too-large text for a file of 2 GiB or more.
void ReportTrailerFailure(TrailerFailure why);

// Open: the user chooses an image; its trailer is read and its model checked
// against the selected drive; the outcome is reported in a box, and on
// success the fields show the image with "READY".
void OpenImage();
