#include "image/Trailer.h"

#include <cstdint>
#include <cstring>

#include "image/ImageRules.h"
#include "platform/Files.h"
#include "state/SharedState.h"

int64_t TrailerOffset(int64_t size, uint8_t firstByteNear) {
    const int64_t back = firstByteNear == 0xFF ? kTrailerFarBack : kTrailerNearBack;
    return size >= back ? size - back : -1;
}

namespace {
// Measures the file that ImageFile holds open and reads its trailer by the
// position rule. A file that shrinks under us reads short and fails.
TrailerFailure ReadOpenFile(int32_t *size, uint8_t (&trailer)[kTrailerSize]) {
    const int64_t end = RawFileSize(ImageFile);
    if (end < 0) return TrailerFailure::ReadFailed;
    if (end > INT32_MAX) return TrailerFailure::TooLarge;
    if (end < kTrailerNearBack) return TrailerFailure::TooShort;
    if (!ReadRawFileAt(ImageFile, end - kTrailerNearBack, trailer, kTrailerSize)) return TrailerFailure::ReadFailed;
    if (trailer[0] == 0xFF) {
        // Second position; whatever it holds is the trailer, no further test.
        const int64_t far = TrailerOffset(end, 0xFF);
        if (far < 0) return TrailerFailure::TooShort;
        if (!ReadRawFileAt(ImageFile, far, trailer, kTrailerSize)) return TrailerFailure::ReadFailed;
    }
    *size = static_cast<int32_t>(end);
    return TrailerFailure::None;
}
}  // namespace

bool ReadImageTrailer(const char *path, TrailerFailure *why) {
    TrailerFailure result = TrailerFailure::NotOpened;
    int32_t size = 0;
    uint8_t trailer[kTrailerSize] = {};
    if (path != nullptr && path[0] != '\0') {
        // A regular file only: a FIFO given as an image must not hang the
        // window in open().
        ImageFile = OpenRawFile(path);
        if (ImageFile != nullptr) result = ReadOpenFile(&size, trailer);
        CloseRawFile(ImageFile);
        ImageFile = nullptr;
    }
    if (why != nullptr) *why = result;
    if (result != TrailerFailure::None) {
        ImageSize = 0;
        return false;
    }
    ImageSize = size;
    std::memcpy(ImageTrailer, trailer, kTrailerSize);
    std::memcpy(ImageModel, trailer, kModelLength);  // ImageModel[24] stays zero
    std::memcpy(ImageVersion, trailer + 24, 4);       // ImageVersion[4] stays zero
    return true;
}
