#pragma once
// Where a file's blocks lie: the inode's block map (12 direct numbers, then single, double and triple
// indirect blocks) or its extent tree (index nodes followed down to the leaves), as runs at their logical
// positions. Gaps between runs are holes. Every block of the map is read at most once, so a looping map ends.
#include <cstdint>
#include <functional>
#include <vector>

#include "io/bytes.h"

namespace salvora {

struct ExtBlockRun {
    std::uint64_t logicalBlock = 0;
    std::uint64_t physicalBlock = 0;
    std::uint64_t blockCount = 0;
    bool unwritten = false;  // allocated but never written: reads as zeros
};

struct ExtMapLimits {
    std::uint32_t blockBytes = 0;
    std::uint64_t blockCount = 0;  // physical blocks lie below this
    std::uint64_t fileBlocks = 0;  // logical blocks lie below this (the file's size in blocks)
};

// Reads one whole block; false when it cannot be read.
using ExtBlockReader = std::function<bool(std::uint64_t block, std::vector<std::uint8_t>& out)>;

// blockMap: the inode's 60 bytes at 0x28. Runs come sorted by logical block, contiguous ones merged; blocks
// outside the volume or past the file's end are left out (they read as holes). `damaged` tells whether the map
// pointed outside the volume, looped, or had a block that could not be read or decoded: the runs then miss
// content a hole does not explain.
std::vector<ExtBlockRun> MapExtBlocks(Bytes blockMap, bool extents, const ExtMapLimits& limits,
                                      const ExtBlockReader& read, bool* damaged = nullptr);

}  // namespace salvora
