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
