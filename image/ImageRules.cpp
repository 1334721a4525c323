#include "image/ImageRules.h"

#include <cstring>

namespace {
char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

bool ModelMatches(const char *driveModel, const char *imageModel) {
    return std::memcmp(driveModel, imageModel, kModelLength) == 0;
}

uint8_t LastBlockKbFromSize(int32_t imageSize, int32_t blockSizeKb, int32_t blockCount) {
    const int32_t kb = imageSize / 1024 - (blockCount - 1) * blockSizeKb;
    return static_cast<uint8_t>(kb);  // the low 8 bits
}

uint8_t LastBlockKbFromTrailer(int32_t blockSizeKb, int32_t blockCount) {
    const int32_t product = (64 - blockSizeKb) * (blockCount - 1);
    return static_cast<uint8_t>(product);  // the low 8 bits
}

bool ImageSizeMatchesTrailer(int32_t imageSize, int32_t blockSizeKb, int32_t blockCount) {
    // blockSizeKb and blockCount are bytes of the trailer (0..255): the sum
    // stays far inside 32 bits.
    const int32_t expected =
        blockSizeKb * 1024 * (blockCount - 1) + int32_t{LastBlockKbFromTrailer(blockSizeKb, blockCount)} * 1024;
    return imageSize == expected;
}

std::string DisplayName(const std::string &path) {
    const auto cut = path.find_last_of("/\\:");
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    for (char &c : name) c = UpperAscii(c);
    return name;
}

std::string CommandLineName(const char *commandLine) {
    if (commandLine == nullptr) return {};
    const char *afterPath = commandLine;
    if (*commandLine == '"') {
        afterPath = std::strchr(commandLine + 1, '"');
        if (afterPath == nullptr) return {};
    }
    const char *blank = std::strchr(afterPath, ' ');
    if (blank == nullptr) return {};
    std::string name(blank + 1, strnlen(blank + 1, 10));
    for (char &c : name) c = UpperAscii(c);
    return name;
}
