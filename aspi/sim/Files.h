// The simulated machine's own file utilities: whole files read and written,
// paths resolved against the machine file's directory. Plain POSIX calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace quorvel_sim {

// Reads a whole file; nullopt when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string &path);
// Writes a file atomically: a temporary file beside it, flushed, renamed over it.
bool WriteFileAtomically(const std::string &path, const std::string &text);
// An exclusive flock on a lock file of its own, made on first use, taken
// waiting and let go at destruction. Held across processes (and across
// threads of one process, each holding its own open file).
class FileLock {
public:
    explicit FileLock(const std::string &path);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    // False when the file could not be opened or locked (errno says why).
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Writes every byte to fd, going on after interruptions; stops at an error.
void WriteAll(int fd, const uint8_t *bytes, size_t length);
void WriteAll(int fd, const std::string &text);

// path as is when absolute, else baseDir/path.
std::string ResolvePath(const std::string &path, const std::string &baseDir);
// The directory part of a path: "." when it has none, "/" for the root.
std::string DirectoryOf(const std::string &path);
// Creates a directory and its parents; what exists already is left alone.
void MakeDirectories(const std::string &dir);

}  // namespace quorvel_sim
