// The hash a drive's record gives of a command's data: FNV-1a, 64 bits. One
// definition for every front end of the drive model (the simulated machine's
// trace, the kernel-served drive's record), so their records compare.
#pragma once

#include <cstdint>
#include <span>

namespace quorvel_sim {

inline uint64_t Fnv1a64(std::span<const uint8_t> data) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (uint8_t byte : data) {
        hash ^= byte;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

}  // namespace quorvel_sim
