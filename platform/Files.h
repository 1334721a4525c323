// Reading files: a regular file opened for raw bytes, without blocking on a
// FIFO or device of that name.
#pragma once
#include <cstddef>
#include <cstdint>
class RawFile;
RawFile *OpenRawFile(const char *path);
void CloseRawFile(RawFile *file);
int64_t RawFileSize(RawFile *file);
bool ReadRawFileAt(RawFile *file, int64_t offset, void *out, size_t length);
bool CanOpenRawFile(const char *path);
