// quorvel-mkimage: writes a firmware image file for trying the program and for
// its tests. See tools/README.md.
//
// The image is S bytes of a recognisable pattern (every 4-byte little-endian
// word holds its own file offset, so any block a drive received can be traced
// back to where it came from) with the 30-byte trailer at S - 48, or, with
// --far, at S - 65584 and 0xFF at S - 48.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/ImageRules.h"

namespace {
const char kUsage[] =
    "usage: quorvel-mkimage --model TEXT --version TEXT --block-kb N --blocks N\n"
    "                       [--size BYTES] [--far] [--quiet] OUTPUT\n"
    "\n"
    "Writes a firmware image of BYTES bytes to OUTPUT.\n"
    "  --model TEXT    drive model the image is for, at most 24 characters,\n"
    "                  padded with blanks to 24 (vendor 8 + product 16, as INQUIRY)\n"
    "  --version TEXT  firmware version the image holds, at most 4 characters,\n"
    "                  padded with blanks to 4\n"
    "  --block-kb N    block size in KiB, 0 to 255 (trailer byte 28)\n"
    "  --blocks N      number of blocks, 0 to 255 (trailer byte 29)\n"
    "  --size BYTES    file size; default: the size that autorun's size rule\n"
    "                  expects, block-kb*1024*(blocks-1) + last-block KiB*1024\n"
    "  --far           trailer at size-65584 and 0xFF at size-48\n"
    "  --quiet         print nothing on success\n"
    "Every byte outside the trailer (and the 0xFF) is the pattern: each 4-byte\n"
    "little-endian word holds its own file offset.\n";

int Usage(const char *error) {
    if (error != nullptr) std::fprintf(stderr, "quorvel-mkimage: %s\n", error);
    std::fputs(kUsage, stderr);
    return 2;
}

bool ParseNumber(const char *text, long long max, long long *out) {
    if (text == nullptr || *text == '\0') return false;
    for (const char *p = text; *p != '\0'; ++p)
        if (*p < '0' || *p > '9') return false;
    errno = 0;
    char *end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > max) return false;
    *out = value;
    return true;
}

// Pattern byte at file offset `offset`: byte (offset % 4) of the little-endian
// 32-bit word whose value is the word's own offset.
uint8_t PatternByte(uint64_t offset) {
    const uint32_t word = static_cast<uint32_t>(offset & ~uint64_t{3});
    return static_cast<uint8_t>(word >> (8 * (offset & 3)));
}
}  // namespace

int main(int argc, char **argv) {
    const char *model = nullptr;
    const char *version = nullptr;
    const char *output = nullptr;
    long long blockKb = -1, blocks = -1, size = -1;
    bool far = false, quiet = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto needsValue = [&](const char *name) {
            if (value == nullptr) {
                std::fprintf(stderr, "quorvel-mkimage: %s needs a value\n", name);
                return false;
            }
            ++i;
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--model") {
            if (!needsValue("--model")) return Usage(nullptr);
            model = value;
        } else if (arg == "--version") {
            if (!needsValue("--version")) return Usage(nullptr);
            version = value;
        } else if (arg == "--block-kb") {
            if (!needsValue("--block-kb")) return Usage(nullptr);
            if (!ParseNumber(value, 255, &blockKb)) return Usage("--block-kb must be a number from 0 to 255");
        } else if (arg == "--blocks") {
            if (!needsValue("--blocks")) return Usage(nullptr);
            if (!ParseNumber(value, 255, &blocks)) return Usage("--blocks must be a number from 0 to 255");
        } else if (arg == "--size") {
            if (!needsValue("--size")) return Usage(nullptr);
            if (!ParseNumber(value, INT32_MAX, &size))
                return Usage("--size must be a number of bytes from 48 to 2147483647");
        } else if (arg == "--far") {
            far = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else if (output == nullptr) {
            output = argv[i];
        } else {
            return Usage("only one OUTPUT file");
        }
    }

    if (model == nullptr) return Usage("--model is required");
    if (version == nullptr) return Usage("--version is required");
    if (blockKb < 0) return Usage("--block-kb is required");
    if (blocks < 0) return Usage("--blocks is required");
    if (output == nullptr) return Usage("OUTPUT is required");
    if (std::strlen(model) > 24) return Usage("--model has more than 24 characters");
    if (std::strlen(version) > 4) return Usage("--version has more than 4 characters");

    if (size < 0) {
        const int64_t expected = int64_t{blockKb} * 1024 * (blocks - 1) +
                                 int64_t{LastBlockKbFromTrailer(static_cast<int32_t>(blockKb),
                                                                static_cast<int32_t>(blocks))} * 1024;
        size = expected;
        if (size < 48) {
            std::fprintf(stderr,
                         "quorvel-mkimage: the size rule gives %lld bytes for %lld KiB x %lld blocks, too small "
                         "for a trailer; give --size\n",
                         static_cast<long long>(expected), blockKb, blocks);
            return 2;
        }
    }
    const int64_t back = far ? 65584 : 48;
    if (size < back) {
        std::fprintf(stderr, "quorvel-mkimage: --size %lld is too small: the trailer needs at least %lld bytes%s\n",
                     size, static_cast<long long>(back), far ? " with --far" : "");
        return 2;
    }

    uint8_t trailer[30];
    std::memset(trailer, ' ', 28);
    std::memcpy(trailer, model, std::strlen(model));
    std::memcpy(trailer + 24, version, std::strlen(version));
    trailer[28] = static_cast<uint8_t>(blockKb);
    trailer[29] = static_cast<uint8_t>(blocks);
    const uint64_t trailerAt = static_cast<uint64_t>(size - back);
    const uint64_t markAt = static_cast<uint64_t>(size - 48);

    FILE *file = std::fopen(output, "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "quorvel-mkimage: cannot write %s: %s\n", output, std::strerror(errno));
        return 1;
    }
    std::vector<uint8_t> chunk(1 << 20);
    for (uint64_t at = 0; at < static_cast<uint64_t>(size);) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), static_cast<uint64_t>(size) - at));
        for (size_t j = 0; j < n; ++j) {
            const uint64_t offset = at + j;
            uint8_t byte = PatternByte(offset);
            if (offset >= trailerAt && offset < trailerAt + 30) byte = trailer[offset - trailerAt];
            if (far && offset == markAt) byte = 0xFF;
            chunk[j] = byte;
        }
        if (std::fwrite(chunk.data(), 1, n, file) != n) {
            std::fprintf(stderr, "quorvel-mkimage: writing %s failed: %s\n", output, std::strerror(errno));
            std::fclose(file);
            std::remove(output);
            return 1;
        }
        at += n;
    }
    if (std::fclose(file) != 0) {
        std::fprintf(stderr, "quorvel-mkimage: writing %s failed: %s\n", output, std::strerror(errno));
        std::remove(output);
        return 1;
    }
    if (!quiet) {
        std::printf("%s: %lld bytes, trailer at %llu%s: model \"%.24s\" version \"%.4s\", %lld KiB x %lld blocks\n",
                    output, size, static_cast<unsigned long long>(trailerAt), far ? " (0xFF at size-48)" : "",
                    reinterpret_cast<const char *>(trailer), reinterpret_cast<const char *>(trailer + 24), blockKb,
                    blocks);
    }
    return 0;
}
