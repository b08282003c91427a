#include "fs/hfsplus/hfs_volume_header.h"

namespace salvora {

HfsExtents DecodeHfsExtents(Bytes bytes, std::size_t offset) {
    HfsExtents extents{};
    for (std::size_t i = 0; i < kHfsForkExtents; ++i) {
        extents[i].startBlock = be32(bytes, offset + 8 * i);
        extents[i].blockCount = be32(bytes, offset + 8 * i + 4);
    }
    return extents;
}

HfsForkData DecodeHfsFork(Bytes bytes, std::size_t offset) {
    HfsForkData fork;
    fork.logicalSize = be64(bytes, offset);
    fork.totalBlocks = be32(bytes, offset + 0x0C);
    fork.extents = DecodeHfsExtents(bytes, offset + 0x10);
    return fork;
}

HfsVolumeHeader DecodeHfsVolumeHeader(Bytes bytes) {
    HfsVolumeHeader h;
    h.signature = be16(bytes, 0x00);
    h.version = be16(bytes, 0x02);
    h.blockSize = be32(bytes, 0x28);
    h.totalBlocks = be32(bytes, 0x2C);
    h.freeBlocks = be32(bytes, 0x30);
    h.nextCatalogId = be32(bytes, 0x40);
    h.allocationFile = DecodeHfsFork(bytes, 0x70);
    h.extentsFile = DecodeHfsFork(bytes, 0xC0);
    h.catalogFile = DecodeHfsFork(bytes, 0x110);
    h.attributesFile = DecodeHfsFork(bytes, 0x160);
    h.startupFile = DecodeHfsFork(bytes, 0x1B0);
    return h;
}

}  // namespace salvora
