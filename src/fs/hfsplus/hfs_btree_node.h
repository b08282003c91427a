#pragma once
// B-tree nodes of the catalog and extents-overflow files: the 14-byte descriptor, the header record of node 0
// and the record offsets stored backwards from the node's end.
#include <cstdint>
#include <vector>

#include "io/bytes.h"

namespace salvora {

inline constexpr std::uint32_t kHfsNodeDescriptorBytes = 14;
inline constexpr std::int8_t kHfsLeafNode = -1;
inline constexpr std::int8_t kHfsIndexNode = 0;
inline constexpr std::int8_t kHfsHeaderNode = 1;
inline constexpr std::int8_t kHfsMapNode = 2;
inline constexpr std::uint32_t kHfsMinNodeBytes = 512;
inline constexpr std::uint32_t kHfsMaxNodeBytes = 32768;
// A leaf that a volume scan takes for a catalog leaf holds at most this many records.
inline constexpr std::uint16_t kHfsScanMaxRecords = 999;

struct HfsNodeDescriptor {
    std::uint32_t forwardLink = 0;   // 0x00
    std::uint32_t backwardLink = 0;  // 0x04
    std::int8_t kind = 0;            // 0x08
    std::uint8_t height = 0;         // 0x09
    std::uint16_t recordCount = 0;   // 0x0A
};

struct HfsBTreeHeader {
    std::uint16_t treeDepth = 0;   // 0x0E (0x00 of the header record)
    std::uint32_t rootNode = 0;    // 0x10
    std::uint32_t firstLeaf = 0;   // 0x18
    std::uint16_t nodeSize = 0;    // 0x20 (0x12 of the header record)
    std::uint32_t totalNodes = 0;  // 0x24 (0x16 of the header record)

    bool NodeSizeValid() const {
        return nodeSize >= kHfsMinNodeBytes && nodeSize <= kHfsMaxNodeBytes &&
               (nodeSize & (nodeSize - 1)) == 0;
    }
};

HfsNodeDescriptor DecodeHfsNodeDescriptor(Bytes node);
// From the header record at 14 of node 0; the descriptor's kind must be "header" for it to mean anything.
HfsBTreeHeader DecodeHfsBTreeHeader(Bytes node);
// The offsets of the node's records, record 0 at the last two bytes and counting backwards. Offsets that
// point into the descriptor or into the offset table, or past the node, are left out.
std::vector<std::uint16_t> HfsRecordOffsets(Bytes node, std::uint16_t recordCount);
// What a volume scan keeps as a catalog leaf: kind leaf, height not 0, record 0 at 14, 1..999 records.
bool LooksLikeCatalogLeaf(Bytes node);

}  // namespace salvora
