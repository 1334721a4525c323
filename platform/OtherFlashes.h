// Flashes of other users on this machine, as far as this user can know them
// without touching a drive or another user's files: the flash processes
// (quorvel-transfer) in the system's process table that run as another user,
// since when, and the files whose locks each holds (the kernel's table of
// locks), named where this user can find them (a drive's node in /dev, a
// drive's lock file in /run/lock or /tmp). Another user's folder for its
// flashes (its runtime folder) is its alone, so which of its drives a flash
// writes is known only by the lock it holds, if at all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct OtherUsersFlash {
    int pid = 0;
    int uid = 0;
    std::string user;    // the user's name, or its number when it has none
    int64_t since = 0;   // when the process started, milliseconds since 1970 (UTC); 0: not known
    std::vector<std::string> holds;  // the files whose locks it holds, where this user can name them
};

// Every flash process of another user than this one, by process id.
std::vector<OtherUsersFlash> OtherUsersFlashes();
