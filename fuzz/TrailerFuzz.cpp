// libFuzzer target: ReadImageTrailer on arbitrary files, and the LastBlockKb
// arithmetic and size rule on arbitrary figures, each checked against a
// reference worked out in 64 bits. Any difference traps.
//
// Input layout: bytes 0-3 image size for the arithmetic (little-endian,
// signed), byte 4 block size KiB, byte 5 block count, bytes 6-8 a count of
// filler bytes put in front of the rest (so that files long enough for the
// second trailer position are reachable), bytes 9.. the file's own bytes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "state/SharedState.h"
#include "image/ImageRules.h"
#include "image/Trailer.h"

namespace {
void Check(bool ok) {
    if (!ok) __builtin_trap();
}

void CheckArithmetic(int32_t size, int32_t blockKb, int32_t count) {
    const int64_t fromSize = int64_t{size} / 1024 - int64_t{count - 1} * blockKb;
    Check(LastBlockKbFromSize(size, blockKb, count) == static_cast<uint8_t>(fromSize & 0xFF));

    const int64_t product = int64_t{64 - blockKb} * (count - 1);
    const uint8_t last = LastBlockKbFromTrailer(blockKb, count);
    Check(last == static_cast<uint8_t>(product & 0xFF));

    const int64_t expected = int64_t{blockKb} * 1024 * (count - 1) + int64_t{last} * 1024;
    const bool passes = ImageSizeMatchesTrailer(size, blockKb, count);
    Check(passes == (expected == size));
    if (passes && size >= 0) {
        // A size that passes gives the same last block both ways.
        Check(LastBlockKbFromSize(size, blockKb, count) == last);
        if (product >= 0 && product <= 255) Check(int64_t{size} == int64_t{65536} * (count - 1));
    }
}

const std::string &FilePath() {
    static const std::string path = [] {
        char name[] = "/tmp/quorvel-trailer-fuzz-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0) std::abort();
        ::close(fd);
        std::atexit([] { ::unlink(FilePath().c_str()); });
        return std::string(name);
    }();
    return path;
}

void CheckTrailer(const std::vector<uint8_t> &file) {
    FILE *out = std::fopen(FilePath().c_str(), "wb");
    if (out == nullptr) std::abort();
    if (!file.empty() && std::fwrite(file.data(), 1, file.size(), out) != file.size()) std::abort();
    std::fclose(out);

    // An earlier trailer that must never be taken for this file's.
    std::memset(ImageTrailer, 0xA5, sizeof ImageTrailer);
    ImageSize = 12345;

    const size_t size = file.size();
    long long at = -1;
    if (size >= 48) {
        at = static_cast<long long>(size) - 48;
        if (file[size - 48] == 0xFF) at = size >= 65584 ? static_cast<long long>(size) - 65584 : -1;
    }

    TrailerFailure why = TrailerFailure::None;
    const bool read = ReadImageTrailer(FilePath().c_str(), &why);
    Check(ImageFile == nullptr);
    if (at < 0) {
        Check(!read);
        Check(why == TrailerFailure::TooShort);
        Check(ImageSize == 0);
        for (uint8_t b : ImageTrailer) Check(b == 0xA5);
        return;
    }
    Check(read);
    Check(why == TrailerFailure::None);
    Check(ImageSize == static_cast<int32_t>(size));
    Check(std::memcmp(ImageTrailer, file.data() + at, 30) == 0);
    Check(std::memcmp(ImageModel, file.data() + at, 24) == 0 && ImageModel[24] == 0);
    Check(std::memcmp(ImageVersion, file.data() + at + 24, 4) == 0 && ImageVersion[4] == 0);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 9) return 0;
    int32_t imageSize;
    std::memcpy(&imageSize, data, 4);
    CheckArithmetic(imageSize, data[4], data[5]);

    const size_t filler = (size_t{data[6]} | size_t{data[7]} << 8 | size_t{data[8]} << 16) % 196608;
    std::vector<uint8_t> file(filler, 0x5A);
    file.insert(file.end(), data + 9, data + size);
    CheckTrailer(file);
    return 0;
}
