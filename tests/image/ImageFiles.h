// Image files for the image tests: a temporary directory of their own, and
// images written byte by byte with the trailer where the test says.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

struct TempDir {
    std::filesystem::path path;
    std::filesystem::path previous;
    explicit TempDir(bool enter = false) {
        char name[] = "/tmp/quorvel-image-XXXXXX";
        if (::mkdtemp(name) == nullptr) std::abort();
        path = name;
        if (enter) {
            previous = std::filesystem::current_path();
            std::filesystem::current_path(path);
        }
    }
    ~TempDir() {
        if (!previous.empty()) std::filesystem::current_path(previous);
        std::error_code ignored;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const std::string &name) const { return (path / name).string(); }
};

// 28 characters: 24 of model, 4 of version.
inline std::vector<uint8_t> TrailerBytes(const std::string &model24, const std::string &version4, int blockKb,
                                         int blocks) {
    std::vector<uint8_t> t(30, ' ');
    std::memcpy(t.data(), model24.data(), std::min<size_t>(model24.size(), 24));
    std::memcpy(t.data() + 24, version4.data(), std::min<size_t>(version4.size(), 4));
    t[28] = static_cast<uint8_t>(blockKb);
    t[29] = static_cast<uint8_t>(blocks);
    return t;
}

// `size` bytes of a pattern (byte i is i*7+3) with `trailer` written at `at`.
inline std::vector<uint8_t> ImageBytes(size_t size, const std::vector<uint8_t> &trailer, size_t at) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    for (size_t i = 0; i < trailer.size() && at + i < size; ++i) bytes[at + i] = trailer[i];
    return bytes;
}

inline void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
    std::fclose(f);
}

// An image of `size` bytes with its trailer at size - 48.
inline void WriteImage(const std::string &path, const std::string &model24, const std::string &version4,
                       int blockKb, int blocks, size_t size) {
    WriteFile(path, ImageBytes(size, TrailerBytes(model24, version4, blockKb, blocks), size - 48));
}
