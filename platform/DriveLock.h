// One flash per drive across processes: an exclusive flock on a file named
// after the drive's adapter and target, as the manager numbers them, in the
// system's lock folder (/run/lock, where every user may make files; /tmp
// where there is none). The kernel releases it when the process ends, however
// it ends; the file itself stays for the next one.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Hold.h"

// The lock file's name for a drive, in `folder`.
std::string DriveLockPath(const std::string &folder, uint8_t adapter, uint8_t target);

// Takes the drive's lock without waiting. `state` tells how it went; the
// hold is empty unless it is Taken.
Hold TakeDriveLock(uint8_t adapter, uint8_t target, DriveLockState *state);
// The same in a folder of the caller's choosing.
Hold TakeDriveLockIn(const std::string &folder, uint8_t adapter, uint8_t target, DriveLockState *state);
