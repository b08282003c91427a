#pragma once
// The ext2/3/4 superblock: the fields the parser uses, decoded from the 1,024 bytes at byte 1024 of the
// volume (or at the start of a backup group).
#include <cstdint>

#include "io/bytes.h"

namespace salvora {

inline constexpr std::uint16_t kExtMagic = 0xEF53;
inline constexpr std::uint32_t kExtSuperblockOffset = 1024;
inline constexpr std::uint32_t kExtSuperblockBytes = 1024;
inline constexpr std::uint32_t kExtIncompatFileType = 0x0002;
inline constexpr std::uint32_t kExtIncompatMetaBg = 0x0010;
inline constexpr std::uint32_t kExtIncompat64Bit = 0x0080;
inline constexpr std::uint32_t kExtRoCompatSparseSuper = 0x0001;
inline constexpr std::uint32_t kExtRoCompatGdtCsum = 0x0010;
inline constexpr std::uint32_t kExtRoCompatMetadataCsum = 0x0400;
inline constexpr std::uint32_t kExtMaxBlockBytes = 65536;

struct ExtSuperblock {
    std::uint32_t inodeCount = 0;          // 0x00
    std::uint64_t blockCount = 0;          // 0x04, high word at 0x150 with 64bit
    std::uint32_t firstDataBlock = 0;      // 0x14
    std::uint32_t logBlockSize = 0;        // 0x18: block size = 1024 << value
    std::uint32_t blocksPerGroup = 0;      // 0x20
    std::uint32_t inodesPerGroup = 0;      // 0x28
    std::uint16_t magic = 0;               // 0x38
    std::uint32_t revLevel = 0;            // 0x4C
    std::uint32_t firstInode = 11;         // 0x54, first inode that can name a file
    std::uint16_t inodeSize = 128;         // 0x58 (revision 0: always 128)
    std::uint16_t blockGroupNr = 0;        // 0x5A: which group's copy this is
    std::uint32_t incompatFeatures = 0;    // 0x60
    std::uint32_t roCompatFeatures = 0;    // 0x64
    std::uint16_t descriptorBytesRaw = 0;  // 0xFE
    std::uint32_t firstMetaBg = 0;         // 0x104: descriptor blocks laid out after the superblock

    std::uint32_t BlockBytes() const { return logBlockSize <= 6 ? 1024u << logBlockSize : 0; }
    bool HasFileType() const { return incompatFeatures & kExtIncompatFileType; }
    bool Is64Bit() const { return incompatFeatures & kExtIncompat64Bit; }
    bool HasMetaBg() const { return incompatFeatures & kExtIncompatMetaBg; }
    // Group g holds a copy of the superblock (every group without sparse_super; else 0, 1 and the powers of
    // 3, 5 and 7).
    bool GroupHasSuperblock(std::uint64_t group) const;
    // Group descriptors are 32 bytes, or the superblock's size (a power of two, 64 and up) with 64bit.
    std::uint32_t DescriptorBytes() const;
    // Groups, the last partial one counted.
    std::uint64_t GroupCount() const;
    // Bitmaps and unused-inode counts in the descriptors can be trusted only with group checksums.
    bool HasGroupChecksums() const {
        return roCompatFeatures & (kExtRoCompatGdtCsum | kExtRoCompatMetadataCsum);
    }
};

ExtSuperblock DecodeExtSuperblock(Bytes bytes);

// Magic, block size, group sizes and inode size that an ext volume can have.
bool ExtSuperblockSane(const ExtSuperblock& sb);

// Block number of descriptor block `index` (each holds BlockBytes() / DescriptorBytes() groups), reckoned
// from the block that follows the superblock copy in use (`afterSuperblock`). With meta_bg, blocks from
// firstMetaBg on sit at the start of the first group they describe, behind its superblock copy.
std::uint64_t ExtDescriptorBlock(const ExtSuperblock& sb, std::uint64_t index, std::uint64_t afterSuperblock);

// Where the copy of group sb.blockGroupNr lives: byte 1024 for group 0, else the first byte of the group.
std::uint64_t ExtSuperblockHome(const ExtSuperblock& sb);

}  // namespace salvora
