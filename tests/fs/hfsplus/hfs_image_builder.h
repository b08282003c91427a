#pragma once
// A minimal HFS+ volume in memory for the parser tests: the volume header, a catalog of a header node and one
// leaf node holding the records a test gives, an empty extents-overflow file, and file data where asked.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>
#include "fixture_util.h"

namespace salvora::test {

struct HfsTestRecord {
    std::uint32_t parent = 2;
    std::u16string name;
    std::uint16_t type = 2;  // 1 folder, 2 file
    std::uint32_t id = 0;
    std::uint32_t createDate = 0, modifyDate = 0, accessDate = 0;
    std::uint16_t mode = 0;
    std::uint32_t special = 0;  // a hard link's link ID
    std::uint32_t finderType = 0, finderCreator = 0;
    std::uint64_t size = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> extents;
    std::uint64_t rsrcSize = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> rsrcExtents;
    int nameLengthField = -1;  // the key's name length as stored; -1: the name's length
};

class HfsImageBuilder {
  public:
    std::uint32_t blockSize = 4096;
    std::uint32_t totalBlocks = 32;
    std::uint16_t nodeSize = 4096;
    char signature[2] = {'H', '+'};
    std::uint32_t freeNodesBeforeLeaf = 0;  // empty (free) catalog nodes between the header node and the leaf
    std::vector<HfsTestRecord> records;

    void Data(std::uint32_t block, const std::vector<std::uint8_t>& bytes) {
        data_.push_back({block, bytes});
    }

    std::vector<std::uint8_t> Build() const {
        const std::uint32_t unit = blockSize ? blockSize : 4096;
        std::vector<std::uint8_t> img(std::size_t{totalBlocks} * unit, 0);
        auto put16 = [&](std::size_t at, std::uint32_t v) { img[at] = v >> 8, img[at + 1] = v & 0xFF; };
        auto put32 = [&](std::size_t at, std::uint32_t v) { put16(at, v >> 16), put16(at + 2, v & 0xFFFF); };
        auto put64 = [&](std::size_t at, std::uint64_t v) {
            put32(at, v >> 32), put32(at + 4, v & 0xFFFFFFFF);
        };
        const std::size_t vh = 1024;
        img[vh] = signature[0], img[vh + 1] = signature[1];
        put16(vh + 2, 4);
        put32(vh + 0x28, blockSize);
        put32(vh + 0x2C, totalBlocks);
        // Catalog: node 0 (header) and node 1 (leaf) from block 1 on.
        const std::uint32_t nodeBlocks = std::max<std::uint32_t>(1, nodeSize / unit);
        const std::uint32_t nodes = 2 + freeNodesBeforeLeaf;
        put64(vh + 0x110, std::uint64_t{nodes} * nodeSize);
        put32(vh + 0x110 + 0x0C, nodes * nodeBlocks);
        put32(vh + 0x110 + 0x10, 1);
        put32(vh + 0x110 + 0x14, nodes * nodeBlocks);
        const std::size_t cat = unit;
        img[cat + 8] = 1;  // header node
        put16(cat + 10, 3);
        put16(cat + 14 + 0x12, nodeSize);
        put32(cat + 14 + 0x16, nodes);
        put16(cat + nodeSize - 2, 14);
        const std::size_t leaf = cat + std::size_t{1 + freeNodesBeforeLeaf} * nodeSize;
        img[leaf + 8] = 0xFF;  // leaf
        img[leaf + 9] = 1;
        put16(leaf + 10, static_cast<std::uint32_t>(records.size()));
        std::size_t at = 14;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const HfsTestRecord& r = records[i];
            put16(leaf + nodeSize - 2 - 2 * i, static_cast<std::uint32_t>(at));
            const std::size_t units = r.name.size();
            put16(leaf + at, static_cast<std::uint32_t>(6 + 2 * units));
            put32(leaf + at + 2, r.parent);
            put16(leaf + at + 6, r.nameLengthField >= 0 ? r.nameLengthField : static_cast<int>(units));
            for (std::size_t u = 0; u < units; ++u) put16(leaf + at + 8 + 2 * u, r.name[u]);
            const std::size_t d = leaf + at + 8 + 2 * units;
            put16(d, r.type);
            put32(d + 0x08, r.id);
            put32(d + 0x0C, r.createDate);
            put32(d + 0x10, r.modifyDate);
            put32(d + 0x18, r.accessDate);
            put16(d + 0x2A, r.mode);
            put32(d + 0x2C, r.special);
            put32(d + 0x30, r.finderType);
            put32(d + 0x34, r.finderCreator);
            if (r.type == 2) {
                put64(d + 0x58, r.size);
                for (std::size_t e = 0; e < r.extents.size() && e < 8; ++e) {
                    put32(d + 0x68 + 8 * e, r.extents[e].first);
                    put32(d + 0x6C + 8 * e, r.extents[e].second);
                }
                put64(d + 0xA8, r.rsrcSize);
                for (std::size_t e = 0; e < r.rsrcExtents.size() && e < 8; ++e) {
                    put32(d + 0xB8 + 8 * e, r.rsrcExtents[e].first);
                    put32(d + 0xBC + 8 * e, r.rsrcExtents[e].second);
                }
            }
            at += 8 + 2 * units + (r.type == 2 ? 248 : 88);
        }
        for (const auto& [block, bytes] : data_)
            std::copy(bytes.begin(), bytes.end(), img.begin() + std::size_t{block} * unit);
        return img;
    }

    std::filesystem::path WriteTemp(const std::string& name) const {
        // ctest runs tests in processes of their own, several at once: a name alone could be shared.
        const auto path = std::filesystem::temp_directory_path() /
                          ("salvora-hfs-" + std::to_string(::getpid()) + "-" + name + ".img");
        return WriteBytes(path, Build());
    }

  private:
    struct Chunk {
        std::uint32_t block;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Chunk> data_;
};

}  // namespace salvora::test
