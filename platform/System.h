// What the system tells of itself and of the user: where a program keeps
// its state for the user, which boot this is, the time, a digest.
#pragma once

#include <cstddef>
#include <string>

// $XDG_STATE_HOME/`program` (an absolute XDG_STATE_HOME only), else
// $HOME/.local/state/`program`; empty when neither is known.
std::string UserStateFolder(const char *program);
// The kernel's id of this boot (/proc/sys/kernel/random/boot_id); empty when
// it cannot be read.
std::string BootId();
// The time now, UTC, as 2026-12-07T16:20:01Z.
std::string UtcTimestamp();
// The SHA-256 of `length` bytes, in lower-case hex.
std::string Sha256Hex(const void *data, size_t length);
