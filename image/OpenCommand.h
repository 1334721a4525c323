// Pieces of the Open flow that the autorun load shares.
#pragma once

#include "image/Trailer.h"

class QFileDialog;

// Refusals of our own, beside the system's "File Not Opened!!".
constexpr char kTextFileTooLarge[] = "File Too Large (2 GiB or more) !!";
constexpr char kTextPathTooLong[] = "File Path Too Long (over 131 characters) !!";

// The error box for a file that ReadImageTrailer refused: "File Not Opened!!",
// or the too-large text for a file of 2 GiB or more.
void ReportTrailerFailure(TrailerFailure why);

// Sets OpenDialog1 up to match *.BIN in any letter case, as Windows does.
void PrepareOpenDialog(QFileDialog *dialog);
