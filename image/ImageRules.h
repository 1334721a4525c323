// The firmware image's rules, as plain functions of their inputs.
#pragma once

#include <cstdint>
#include <string>

constexpr int kTrailerSize = 30;
constexpr int32_t kTrailerNearBack = 48;     // trailer at S - 48 ...
constexpr int32_t kTrailerFarBack = 65584;   // ... or at S - 65584 when S - 48 starts with 0xFF

constexpr int kModelLength = 24;

// The model match, drive against image: the drive's 24-byte model (INQUIRY
// vendor and product) and the model the image's trailer names agree byte for
// byte, blanks and letter case included. Nothing else makes an image one for
// that drive.
bool ModelMatches(const char *driveModel, const char *imageModel);

// Last block in KiB as Open works it out from the file size:
// (size / 1024 - (count - 1) * blockKb), low 8 bits.
uint8_t LastBlockKbFromSize(int32_t imageSize, int32_t blockSizeKb, int32_t blockCount);
// Last block in KiB as autorun works it out from the trailer alone:
// ((64 - blockKb) * (count - 1)), low 8 bits.
uint8_t LastBlockKbFromTrailer(int32_t blockSizeKb, int32_t blockCount);
// Autorun's size rule: size == blockKb*1024*(count-1) + LastBlockKbFromTrailer*1024.
bool ImageSizeMatchesTrailer(int32_t imageSize, int32_t blockSizeKb, int32_t blockCount);
// The file name shown beside "DOWNLOAD FILE :": the text after the last '/',
// '\' or ':', with a..z turned to A..Z.
std::string DisplayName(const std::string &path);
// The autorun name on a command line: the text after its first blank, cut to
// 10 characters, a..z turned to A..Z; empty when there is none. A line that
// opens with a double quote holds the program's path up to the next one (a
// path with a blank, quoted as Windows quotes it): the first blank after that
// quote counts, and with no closing quote the whole line is the path. Any
// other tab or quote is text like the rest.
std::string CommandLineName(const char *commandLine);
