// What the system tells of itself and of the user: where a program keeps
// its state for the user, which boot this is, the time, a digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// $XDG_STATE_HOME/`program` (an absolute XDG_STATE_HOME only), else
// $HOME/.local/state/`program`; empty when neither is known.
std::string UserStateFolder(const char *program);
// The kernel's id of this boot (/proc/sys/kernel/random/boot_id); empty when
// it cannot be read.
std::string BootId();
// The time now, UTC, as 2026-12-07T16:20:01Z.
std::string UtcTimestamp();
// The time now, in milliseconds since 1970 (UTC).
int64_t UnixMilliseconds();
// This process's id.
int ProcessId();
namespace qtlayer {
// Whether the flash's own process (quorvel-transfer) of this id runs now.
// Behind Win32Layer::FlashProcessRunning.
bool FlashProgramRunning(int pid);
}  // namespace qtlayer
// The SHA-256 of `length` bytes, in lower-case hex.
std::string Sha256Hex(const void *data, size_t length);
