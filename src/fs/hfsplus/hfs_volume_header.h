#pragma once
// The HFS+ volume header (512 bytes at byte 1024 of the volume) and the fork records it holds; big-endian.
#include <array>
#include <cstdint>

#include "io/bytes.h"

namespace salvora {

inline constexpr std::uint32_t kHfsHeaderOffset = 1024;
inline constexpr std::uint32_t kHfsHeaderBytes = 512;
inline constexpr std::uint16_t kHfsPlusSignature = 0x482B;  // "H+"
inline constexpr std::uint16_t kHfsxSignature = 0x4858;     // "HX": case-sensitive names, same structures
inline constexpr std::uint32_t kHfsForkBytes = 80;
inline constexpr std::size_t kHfsForkExtents = 8;

struct HfsExtent {
    std::uint32_t startBlock = 0;
    std::uint32_t blockCount = 0;
};
using HfsExtents = std::array<HfsExtent, kHfsForkExtents>;

struct HfsForkData {
    std::uint64_t logicalSize = 0;  // 0x00
    std::uint32_t totalBlocks = 0;  // 0x0C
    HfsExtents extents{};           // 0x10: eight start/count pairs
};

struct HfsVolumeHeader {
    std::uint16_t signature = 0;      // 0x00
    std::uint16_t version = 0;        // 0x02
    std::uint32_t blockSize = 0;      // 0x28
    std::uint32_t totalBlocks = 0;    // 0x2C
    std::uint32_t freeBlocks = 0;     // 0x30
    std::uint32_t nextCatalogId = 0;  // 0x40
    HfsForkData allocationFile;       // 0x70
    HfsForkData extentsFile;          // 0xC0
    HfsForkData catalogFile;          // 0x110
    HfsForkData attributesFile;       // 0x160
    HfsForkData startupFile;          // 0x1B0

    bool SignatureValid() const { return signature == kHfsPlusSignature || signature == kHfsxSignature; }
    // A power of two from 512 up: anything else cannot address blocks.
    bool BlockSizeValid() const { return blockSize >= 512 && (blockSize & (blockSize - 1)) == 0; }
};

HfsForkData DecodeHfsFork(Bytes bytes, std::size_t offset);
HfsExtents DecodeHfsExtents(Bytes bytes, std::size_t offset);
HfsVolumeHeader DecodeHfsVolumeHeader(Bytes bytes);

}  // namespace salvora
