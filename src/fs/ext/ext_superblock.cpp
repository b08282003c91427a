#include "fs/ext/ext_superblock.h"

namespace salvora {

ExtSuperblock DecodeExtSuperblock(Bytes b) {
    ExtSuperblock sb;
    sb.inodeCount = le32(b, 0x00);
    sb.blockCount = le32(b, 0x04);
    sb.firstDataBlock = le32(b, 0x14);
    sb.logBlockSize = le32(b, 0x18);
    sb.blocksPerGroup = le32(b, 0x20);
    sb.inodesPerGroup = le32(b, 0x28);
    sb.magic = le16(b, 0x38);
    sb.revLevel = le32(b, 0x4C);
    if (sb.revLevel >= 1) {
        sb.firstInode = le32(b, 0x54);
        sb.inodeSize = le16(b, 0x58);
    }
    sb.blockGroupNr = le16(b, 0x5A);
    sb.incompatFeatures = le32(b, 0x60);
    sb.roCompatFeatures = le32(b, 0x64);
    sb.descriptorBytesRaw = le16(b, 0xFE);
    sb.firstMetaBg = le32(b, 0x104);
    if (sb.Is64Bit()) sb.blockCount |= static_cast<std::uint64_t>(le32(b, 0x150)) << 32;
    return sb;
}

std::uint32_t ExtSuperblock::DescriptorBytes() const {
    const std::uint32_t raw = descriptorBytesRaw;
    if (!Is64Bit()) return 32;
    const bool powerOfTwo = raw != 0 && (raw & (raw - 1)) == 0;
    return powerOfTwo && raw >= 64 && raw <= 1024 ? raw : 64;
}

std::uint64_t ExtSuperblock::GroupCount() const {
    if (blocksPerGroup == 0 || blockCount <= firstDataBlock) return 0;
    return (blockCount - firstDataBlock + blocksPerGroup - 1) / blocksPerGroup;
}

bool ExtSuperblockSane(const ExtSuperblock& sb) {
    const std::uint32_t blockBytes = sb.BlockBytes();
    if (sb.magic != kExtMagic || blockBytes == 0) return false;
    if (sb.blocksPerGroup == 0 || sb.inodesPerGroup == 0 || sb.inodeCount == 0 || sb.blockCount == 0)
        return false;
    // One block of bitmap per group holds every inode of the group.
    if (sb.inodesPerGroup > 8ull * blockBytes) return false;
    const std::uint32_t inodeBytes = sb.inodeSize;
    if (inodeBytes < 128 || inodeBytes > blockBytes || (inodeBytes & (inodeBytes - 1)) != 0) return false;
    if (sb.firstDataBlock > 1 || sb.firstDataBlock >= sb.blockCount) return false;
    return true;
}

std::uint64_t ExtSuperblockHome(const ExtSuperblock& sb) {
    if (sb.blockGroupNr == 0) return kExtSuperblockOffset;
    return (static_cast<std::uint64_t>(sb.blockGroupNr) * sb.blocksPerGroup + sb.firstDataBlock) *
           sb.BlockBytes();
}

bool ExtSuperblock::GroupHasSuperblock(std::uint64_t group) const {
    if (group <= 1 || !(roCompatFeatures & kExtRoCompatSparseSuper)) return true;
    for (const std::uint64_t base : {3u, 5u, 7u}) {
        std::uint64_t power = base;
        while (power < group) power *= base;
        if (power == group) return true;
    }
    return false;
}

std::uint64_t ExtDescriptorBlock(const ExtSuperblock& sb, std::uint64_t index,
                                 std::uint64_t afterSuperblock) {
    if (!sb.HasMetaBg() || index < sb.firstMetaBg) return afterSuperblock + index;
    const std::uint64_t perBlock = sb.DescriptorBytes() ? sb.BlockBytes() / sb.DescriptorBytes() : 0;
    const std::uint64_t group = index * perBlock;
    return sb.firstDataBlock + group * sb.blocksPerGroup + (sb.GroupHasSuperblock(group) ? 1 : 0);
}

}  // namespace salvora
