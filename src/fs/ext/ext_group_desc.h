#pragma once
// One ext group descriptor: where the group's inode table starts and how much of it was ever used.
#include <cstdint>

#include "io/bytes.h"

namespace salvora {

inline constexpr std::uint16_t kExtGroupInodeUninit = 0x0001;
inline constexpr std::uint16_t kExtGroupBlockUninit = 0x0002;

struct ExtGroupDesc {
    std::uint64_t blockBitmapBlock = 0;  // 0x00, high word at 0x20 in 64-byte descriptors
    std::uint64_t inodeTableBlock = 0;  // 0x08, high word at 0x28 in 64-byte descriptors
    std::uint16_t flags = 0;            // 0x12
    std::uint32_t unusedInodes = 0;     // 0x1C, high half at 0x32: slots at the table's end never used
};

// bytes: one descriptor of descriptorBytes (32, or 64 and more with the 64bit feature).
ExtGroupDesc DecodeExtGroupDesc(Bytes bytes, std::uint32_t descriptorBytes);

}  // namespace salvora
