#pragma once
// One ext inode: type, size, times, link count and its 60-byte block map (block numbers or an extent root).
#include <array>
#include <cstdint>
#include <ctime>
#include <vector>

#include "io/bytes.h"

namespace salvora {

inline constexpr std::uint16_t kExtTypeMask = 0xF000;
inline constexpr std::uint16_t kExtTypeDirectory = 0x4000;
inline constexpr std::uint16_t kExtTypeRegular = 0x8000;
inline constexpr std::uint16_t kExtTypeSymlink = 0xA000;
inline constexpr std::uint32_t kExtFlagIndex = 0x00001000;  // hashed directory
inline constexpr std::uint32_t kExtFlagExtents = 0x00080000;
inline constexpr std::uint32_t kExtFlagInlineData = 0x10000000;
inline constexpr std::uint32_t kExtRootInode = 2;
inline constexpr std::size_t kExtBlockMapBytes = 60;

struct ExtInode {
    std::uint16_t mode = 0;                                  // 0x00
    std::uint64_t size = 0;                                  // 0x04, high word at 0x6C
    timespec accessed{};                                     // 0x08 (+ extra at 0x8C)
    timespec changed{};                                      // 0x0C (+ extra at 0x84)
    timespec modified{};                                     // 0x10 (+ extra at 0x88)
    timespec created{};                                      // 0x90 (+ extra at 0x94), large inodes only
    std::uint32_t deletedTime = 0;                           // 0x14
    std::uint16_t linkCount = 0;                             // 0x1A
    std::uint32_t flags = 0;                                 // 0x20
    std::array<std::uint8_t, kExtBlockMapBytes> blockMap{};  // 0x28

    std::uint16_t Type() const { return mode & kExtTypeMask; }
    bool IsDirectory() const { return Type() == kExtTypeDirectory; }
    bool UsesExtents() const { return flags & kExtFlagExtents; }
    // A link count of 0 is what a deletion leaves; such an inode belongs to no live name.
    bool InUse() const { return mode != 0 && linkCount != 0; }
    // The block map holds anything at all.
    bool MapsBlocks() const;
};

// bytes: one inode slot (128 bytes or more). Times are UTC seconds, extended past 2038 by the extra fields of
// large inodes.
ExtInode DecodeExtInode(Bytes bytes);

// The content of an inode with inline data, up to `size` bytes: the 60 bytes of the block map, then the value
// of the "system.data" extended attribute in the slot's extra space, where longer inline content goes on.
// Never more than the slot holds.
std::vector<std::uint8_t> ExtInlineData(Bytes slot, const ExtInode& inode);

}  // namespace salvora
