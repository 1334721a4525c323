// Reading files: the image and its trailer are read through these, so that
// the program's code never opens a file itself.
#pragma once

#include <cstddef>
#include <cstdint>

// A regular file opened for reading raw bytes.
class RawFile;
// Opens `path` for reading raw bytes, the name looked up as Windows does
// (ResolveFileName): a regular file only; a FIFO, device or directory under
// the name is refused without blocking (O_NONBLOCK, then fstat). nullptr
// when it cannot be opened. Close-on-exec.
RawFile *OpenRawFile(const char *path);
// Closes it; nullptr does nothing.
void CloseRawFile(RawFile *file);
// The file's size in bytes as it is now (fstat); -1 when it cannot be told.
int64_t RawFileSize(RawFile *file);
// Reads exactly `length` bytes at `offset` (pread, looping over short reads
// and EINTR, any length); false when fewer could be read.
bool ReadRawFileAt(RawFile *file, int64_t offset, void *out, size_t length);
// Whether OpenRawFile(path) would succeed: opens and closes again.
bool CanOpenRawFile(const char *path);
