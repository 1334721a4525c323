// Reading an image file's trailer into the shared state.
#pragma once

#include <cstdint>

// Why ReadImageTrailer refused a file.
enum class TrailerFailure {
    None,          // read: the shared state holds the new file's trailer
    NotOpened,     // missing, unreadable, not a regular file
    TooShort,      // shorter than the position rule needs (48, or 65584 after 0xFF)
    TooLarge,      // 2 GiB or more: does not fit the signed 32-bit ImageSize
    ReadFailed,    // a seek or read fell short (the file changed under us)
};

// Where the position rule finds the trailer in a file of `size` bytes, given
// the first byte read at size - 48: size - 48, or size - 65584 after 0xFF.
// -1 when the file is too short for that position.
int64_t TrailerOffset(int64_t size, uint8_t firstByteNear);

// Measures the file at `path` (looked up as Windows would, ResolveFileName)
// and reads its 30-byte trailer by the position rule into ImageSize,
// ImageTrailer, ImageModel and ImageVersion. Everything is read into locals
// first and published only on success. On any failure it returns false and
// sets ImageSize to 0; ImageTrailer, ImageModel and ImageVersion keep what
// they held, but with ImageSize 0 no trailer of an earlier file counts as
// loaded. `why`, when given, tells the failure apart.
bool ReadImageTrailer(const char *path, TrailerFailure *why = nullptr);
