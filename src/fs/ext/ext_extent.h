#pragma once
// Extent tree nodes: a 12-byte header, then 12-byte index entries (depth > 0) or leaf extents (depth 0).
#include <cstdint>

#include "io/bytes.h"

namespace salvora {

inline constexpr std::uint16_t kExtExtentMagic = 0xF30A;
inline constexpr std::size_t kExtExtentEntryBytes = 12;
inline constexpr std::uint16_t kExtMaxExtentDepth = 5;
// Lengths above this mark an unwritten (preallocated) extent that reads as zeros.
inline constexpr std::uint16_t kExtMaxInitExtentBlocks = 32768;

struct ExtExtentHeader {
    std::uint16_t magic = 0;       // 0x00
    std::uint16_t entries = 0;     // 0x02
    std::uint16_t maxEntries = 0;  // 0x04
    std::uint16_t depth = 0;       // 0x06
};

struct ExtExtentLeaf {
    std::uint32_t logicalBlock = 0;  // 0x00
    std::uint16_t blockCount = 0;    // 0x04, unwritten flag taken out
    bool unwritten = false;
    std::uint64_t physicalBlock = 0;  // 0x08, high 16 bits at 0x06
};

struct ExtExtentIndex {
    std::uint32_t logicalBlock = 0;  // 0x00
    std::uint64_t childBlock = 0;    // 0x04, high 16 bits at 0x08
};

ExtExtentHeader DecodeExtExtentHeader(Bytes node);
// The header's magic is right and its entries fit in the node.
bool ExtExtentNodeSane(const ExtExtentHeader& header, std::size_t nodeBytes);
// index: position after the header (0-based).
ExtExtentLeaf DecodeExtExtentLeaf(Bytes node, std::size_t index);
ExtExtentIndex DecodeExtExtentIndex(Bytes node, std::size_t index);

}  // namespace salvora
