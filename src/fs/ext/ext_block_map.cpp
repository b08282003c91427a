#include "fs/ext/ext_block_map.h"

#include <algorithm>
#include <unordered_set>

#include "fs/ext/ext_extent.h"

namespace salvora {
namespace {

constexpr int kDirectBlocks = 12;

class Mapper {
  public:
    Mapper(const ExtMapLimits& limits, const ExtBlockReader& read) : limits_(limits), read_(read) {}

    void Indirect(Bytes map) {
        for (int i = 0; i < kDirectBlocks; ++i) Add(i, le32(map, 4 * i), 1, false);
        const std::uint64_t perBlock = limits_.blockBytes / 4;
        std::uint64_t logical = kDirectBlocks;
        std::uint64_t span = perBlock;
        for (int level = 1; level <= 3; ++level) {
            if (logical >= limits_.fileBlocks) break;
            PointerBlock(le32(map, 4 * (kDirectBlocks + level - 1)), level, logical);
            logical += span;
            span *= perBlock;
        }
    }

    void Extents(Bytes root) {
        const ExtExtentHeader h = DecodeExtExtentHeader(root);
        if (ExtExtentNodeSane(h, root.size())) Node(root, h.depth);
    }

    bool Damaged() const { return damaged_; }

    std::vector<ExtBlockRun> Take() {
        std::sort(runs_.begin(), runs_.end(),
                  [](const ExtBlockRun& a, const ExtBlockRun& b) { return a.logicalBlock < b.logicalBlock; });
        std::vector<ExtBlockRun> merged;
        for (const ExtBlockRun& r : runs_) {
            if (!merged.empty()) {
                ExtBlockRun& last = merged.back();
                if (last.logicalBlock + last.blockCount > r.logicalBlock)
                    continue;  // overlaps: first one wins
                if (last.unwritten == r.unwritten && last.logicalBlock + last.blockCount == r.logicalBlock &&
                    last.physicalBlock + last.blockCount == r.physicalBlock) {
                    last.blockCount += r.blockCount;
                    continue;
                }
            }
            merged.push_back(r);
        }
        return merged;
    }

  private:
    // A block of the map itself: inside the volume and not read before.
    bool ReadMapBlock(std::uint64_t block, std::vector<std::uint8_t>& out) {
        if (block == 0) return false;  // a hole in a sparse file
        if (block >= limits_.blockCount || !seen_.insert(block).second) {
            damaged_ = true;
            return false;
        }
        out.clear();
        const bool read = read_(block, out) && out.size() >= limits_.blockBytes;
        if (!read) damaged_ = true;
        return read;
    }

    void Add(std::uint64_t logical, std::uint64_t physical, std::uint64_t count, bool unwritten) {
        if (physical == 0 || count == 0 || logical >= limits_.fileBlocks) return;
        count = std::min(count, limits_.fileBlocks - logical);
        if (physical >= limits_.blockCount || count > limits_.blockCount - physical) damaged_ = true;
        if (physical >= limits_.blockCount) return;
        count = std::min(count, limits_.blockCount - physical);
        runs_.push_back({logical, physical, count, unwritten});
    }

    // A pointer block of the given level (1 = single indirect) whose first pointer maps logical block
    // `first`.
    void PointerBlock(std::uint64_t block, int level, std::uint64_t first) {
        std::vector<std::uint8_t> buf;
        if (!ReadMapBlock(block, buf)) return;
        const std::uint64_t perBlock = limits_.blockBytes / 4;
        std::uint64_t span = 1;
        for (int l = 1; l < level; ++l) span *= perBlock;
        for (std::uint64_t i = 0; i < perBlock; ++i) {
            const std::uint64_t logical = first + i * span;
            if (logical >= limits_.fileBlocks) break;
            const std::uint32_t pointer = le32(buf, 4 * i);
            if (level == 1)
                Add(logical, pointer, 1, false);
            else
                PointerBlock(pointer, level - 1, logical);
        }
    }

    void Node(Bytes node, std::uint16_t depth) {
        const ExtExtentHeader h = DecodeExtExtentHeader(node);
        if (!ExtExtentNodeSane(h, node.size()) || h.depth != depth) {
            damaged_ = true;
            return;
        }
        for (std::size_t i = 0; i < h.entries; ++i) {
            if (depth == 0) {
                const ExtExtentLeaf leaf = DecodeExtExtentLeaf(node, i);
                Add(leaf.logicalBlock, leaf.physicalBlock, leaf.blockCount, leaf.unwritten);
                continue;
            }
            const ExtExtentIndex index = DecodeExtExtentIndex(node, i);
            if (index.logicalBlock >= limits_.fileBlocks) continue;
            std::vector<std::uint8_t> child;
            if (ReadMapBlock(index.childBlock, child))
                Node(Bytes(child.data(), limits_.blockBytes), static_cast<std::uint16_t>(depth - 1));
        }
    }

    const ExtMapLimits& limits_;
    const ExtBlockReader& read_;
    std::unordered_set<std::uint64_t> seen_;
    std::vector<ExtBlockRun> runs_;
    bool damaged_ = false;
};

}  // namespace

std::vector<ExtBlockRun> MapExtBlocks(Bytes blockMap, bool extents, const ExtMapLimits& limits,
                                      const ExtBlockReader& read, bool* damaged) {
    if (damaged) *damaged = false;
    if (limits.blockBytes < 1024 || limits.fileBlocks == 0) return {};
    Mapper mapper(limits, read);
    if (extents)
        mapper.Extents(blockMap);
    else
        mapper.Indirect(blockMap);
    if (damaged) *damaged = mapper.Damaged();
    return mapper.Take();
}

}  // namespace salvora
