#include "fs/hfsplus/hfs_btree_node.h"

namespace salvora {

HfsNodeDescriptor DecodeHfsNodeDescriptor(Bytes node) {
    HfsNodeDescriptor d;
    d.forwardLink = be32(node, 0x00);
    d.backwardLink = be32(node, 0x04);
    d.kind = static_cast<std::int8_t>(u8(node, 0x08));
    d.height = u8(node, 0x09);
    d.recordCount = be16(node, 0x0A);
    return d;
}

HfsBTreeHeader DecodeHfsBTreeHeader(Bytes node) {
    constexpr std::size_t kRecord = kHfsNodeDescriptorBytes;
    HfsBTreeHeader h;
    h.treeDepth = be16(node, kRecord + 0x00);
    h.rootNode = be32(node, kRecord + 0x02);
    h.firstLeaf = be32(node, kRecord + 0x0A);
    h.nodeSize = be16(node, kRecord + 0x12);
    h.totalNodes = be32(node, kRecord + 0x16);
    return h;
}

std::vector<std::uint16_t> HfsRecordOffsets(Bytes node, std::uint16_t recordCount) {
    std::vector<std::uint16_t> offsets;
    if (node.size() < kHfsNodeDescriptorBytes + 2) return offsets;
    const std::size_t fit = (node.size() - kHfsNodeDescriptorBytes) / 2;
    const std::size_t count = recordCount < fit ? recordCount : fit;
    const std::size_t tableStart = node.size() - 2 * count;
    offsets.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t off = be16(node, node.size() - 2 * (i + 1));
        if (off >= kHfsNodeDescriptorBytes && off < tableStart) offsets.push_back(off);
    }
    return offsets;
}

bool LooksLikeCatalogLeaf(Bytes node) {
    if (node.size() < kHfsMinNodeBytes) return false;
    const HfsNodeDescriptor d = DecodeHfsNodeDescriptor(node);
    return d.kind == kHfsLeafNode && d.height != 0 &&
           be16(node, node.size() - 2) == kHfsNodeDescriptorBytes && d.recordCount >= 1 &&
           d.recordCount <= kHfsScanMaxRecords;
}

}  // namespace salvora
