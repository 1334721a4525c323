// Files of lines the program keeps for the user (the record of its flashes):
// appended one line at a time under a lock shared with every other program
// of the project, and read back whole.
#pragma once

#include <string>
#include <vector>

// Makes `folder` and the folders above it that are missing, for the user
// alone (0700). False with `error` set when it cannot be made.
bool MakeUserFolder(const std::string &folder, std::string *error);
// Appends `line` and a line feed to the file at `path` (made for the user
// alone, 0600, when missing): one write, under an exclusive flock on the
// file, then flushed to the disk, so that neither another writer nor a crash
// or a restart splits or loses it. A symlink or anything but a regular file
// at `path` is refused. False with `error` set when it cannot be done.
bool AppendLineToFile(const std::string &path, const std::string &line, std::string *error);
// The file's lines, without their line feeds, read under a shared flock.
// False when the file cannot be read; a missing file is read as no lines.
bool ReadLinesOfFile(const std::string &path, std::vector<std::string> *lines, std::string *error);
