#include "image/Trailer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/SharedState.h"
#include "image/ImageRules.h"
#include "platform/win32.h"

int64_t TrailerOffset(int64_t size, uint8_t firstByteNear) {
    const int64_t back = firstByteNear == 0xFF ? kTrailerFarBack : kTrailerNearBack;
    return size >= back ? size - back : -1;
}

namespace {
// Exactly 30 bytes at `offset`, or false. fseeko/fread on the stream that the
// shared state names, so a file that shrinks under us reads short and fails.
bool ReadAt(FILE *file, int64_t offset, uint8_t (&out)[kTrailerSize]) {
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
    return std::fread(out, 1, kTrailerSize, file) == static_cast<size_t>(kTrailerSize);
}

TrailerFailure ReadInto(const std::string &name, int32_t *size, uint8_t (&trailer)[kTrailerSize]) {
    // O_NONBLOCK: a FIFO given as an image must not hang the window in open().
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return TrailerFailure::NotOpened;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return TrailerFailure::NotOpened;
    }
    ImageFile = ::fdopen(fd, "rb");
    if (ImageFile == nullptr) {
        ::close(fd);
        return TrailerFailure::NotOpened;
    }

    TrailerFailure result = TrailerFailure::None;
    int64_t end = -1;
    if (fseeko(ImageFile, 0, SEEK_END) == 0) end = ftello(ImageFile);
    if (end < 0) {
        result = TrailerFailure::ReadFailed;
    } else if (end > INT32_MAX) {
        result = TrailerFailure::TooLarge;
    } else if (end < kTrailerNearBack) {
        result = TrailerFailure::TooShort;
    } else if (!ReadAt(ImageFile, end - kTrailerNearBack, trailer)) {
        result = TrailerFailure::ReadFailed;
    } else if (trailer[0] == 0xFF) {
        // Second position; whatever it holds is the trailer, no further test.
        const int64_t far = TrailerOffset(end, 0xFF);
        if (far < 0)
            result = TrailerFailure::TooShort;
        else if (!ReadAt(ImageFile, far, trailer))
            result = TrailerFailure::ReadFailed;
    }
    std::fclose(ImageFile);
    ImageFile = nullptr;
    if (result == TrailerFailure::None) *size = static_cast<int32_t>(end);
    return result;
}
}  // namespace

bool ReadImageTrailer(const char *path, TrailerFailure *why) {
    TrailerFailure result = TrailerFailure::NotOpened;
    int32_t size = 0;
    uint8_t trailer[kTrailerSize] = {};
    if (path != nullptr && path[0] != '\0') result = ReadInto(ResolveFileName(path), &size, trailer);
    if (why != nullptr) *why = result;
    if (result != TrailerFailure::None) {
        ImageSize = 0;
        return false;
    }
    ImageSize = size;
    std::memcpy(ImageTrailer, trailer, kTrailerSize);
    std::memcpy(ImageModel, trailer, 24);       // ImageModel[24] stays zero
    std::memcpy(ImageVersion, trailer + 24, 4);  // ImageVersion[4] stays zero
    return true;
}
