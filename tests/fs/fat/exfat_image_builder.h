#pragma once
// A tiny exFAT image builder for tests: boot sector, one FAT, allocation bitmap and up-case entries,
// directories written as entry sets over chosen clusters, file content. 512-byte sectors; small clusters make
// multi-cluster directories cheap.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>
#include "fixture_util.h"

namespace salvora::test {

struct ExFatSetSpec {
    std::u16string name;
    std::uint16_t attributes = 0x20;
    std::uint8_t flags = 3;  // 1 FAT chain, 3 contiguous
    std::uint32_t firstCluster = 0;
    std::uint64_t size = 0;
    bool deleted = false;
    std::uint32_t created = 0x576E6A4B;  // 2023-11-14 13:18:22
    std::uint32_t modified = 0x576E6A4B;
    std::uint32_t accessed = 0x576E6A4B;
    std::uint8_t modified10ms = 0;
    std::uint8_t modifiedUtc = 0;
    std::uint8_t accessedUtc = 0;
    int extraNameSlots = 0;           // zero-filled name slots beyond what the name needs
    int secondaryCountOverride = -1;  // -1: the true count
};

class ExFatImageBuilder {
  public:
    static constexpr std::uint32_t kSector = 512;

    explicit ExFatImageBuilder(std::uint32_t totalSectors = 2048, std::uint8_t spcShift = 0)
        : spcShift_(spcShift), image_(static_cast<std::size_t>(totalSectors) * kSector, 0) {
        clusterBytes = kSector << spcShift;
        fatOffsetSectors = 8;
        const std::uint32_t approxClusters = (totalSectors >> spcShift) + 2;
        fatLengthSectors = (approxClusters * 4 + kSector - 1) / kSector;
        heapOffsetSectors = fatOffsetSectors + fatLengthSectors;
        heapOffsetSectors = (heapOffsetSectors + (1u << spcShift) - 1) & ~((1u << spcShift) - 1);
        clusterCount = (totalSectors - heapOffsetSectors) >> spcShift;
        SetFat(0, 0xFFFFFFF8);
        SetFat(1, 0xFFFFFFFF);
        // Bitmap at cluster 2, up-case table at 3, root from 4.
        Chain({2});
        Chain({3});
        next_ = 4;
    }

    std::uint32_t clusterBytes;
    std::uint32_t fatOffsetSectors;
    std::uint32_t fatLengthSectors;
    std::uint32_t heapOffsetSectors;
    std::uint32_t clusterCount;

    std::uint64_t HeapBytes() const { return static_cast<std::uint64_t>(heapOffsetSectors) * kSector; }
    std::uint64_t FatBytes() const { return static_cast<std::uint64_t>(fatOffsetSectors) * kSector; }
    std::uint64_t ClusterOffset(std::uint32_t c) const {
        return HeapBytes() + std::uint64_t(c - 2) * clusterBytes;
    }
    std::vector<std::uint8_t>& Image() { return image_; }

    // n consecutive clusters from the next free one.
    std::vector<std::uint32_t> Alloc(std::uint32_t n) {
        std::vector<std::uint32_t> out;
        for (std::uint32_t i = 0; i < n; ++i) out.push_back(next_++);
        return out;
    }
    void Skip(std::uint32_t n) { next_ += n; }

    void SetFat(std::uint32_t cluster, std::uint32_t value) { Put32(FatBytes() + 4ull * cluster, value); }
    // Links the clusters in the given order and ends the chain.
    void Chain(const std::vector<std::uint32_t>& clusters) {
        for (std::size_t i = 0; i < clusters.size(); ++i)
            SetFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : 0xFFFFFFFF);
    }

    // Bytes spread over the clusters in order.
    void WriteClusters(const std::vector<std::uint32_t>& clusters, const std::vector<std::uint8_t>& bytes) {
        for (std::size_t i = 0; i * clusterBytes < bytes.size() && i < clusters.size(); ++i) {
            const std::size_t n = std::min<std::size_t>(clusterBytes, bytes.size() - i * clusterBytes);
            std::copy_n(bytes.begin() + i * clusterBytes, n, image_.begin() + ClusterOffset(clusters[i]));
        }
    }

    static std::vector<std::uint8_t> EntrySet(const ExFatSetSpec& s) {
        const std::size_t nameSlots = (s.name.size() + 14) / 15 + s.extraNameSlots;
        std::vector<std::uint8_t> b((2 + nameSlots) * 32, 0);
        const std::uint8_t off = s.deleted ? 0x80 : 0;
        b[0] = 0x85 - off;
        b[1] = s.secondaryCountOverride >= 0 ? s.secondaryCountOverride
                                             : static_cast<std::uint8_t>(1 + nameSlots);
        Put16(b, 4, s.attributes);
        Put32(b, 8, s.created);
        Put32(b, 12, s.modified);
        Put32(b, 16, s.accessed);
        b[21] = s.modified10ms;
        b[23] = s.modifiedUtc;
        b[24] = s.accessedUtc;
        b[32] = 0xC0 - off;
        b[33] = s.flags;
        b[35] = static_cast<std::uint8_t>(s.name.size());
        Put64(b, 40, s.size);
        Put32(b, 52, s.firstCluster);
        Put64(b, 56, s.size);
        for (std::size_t n = 0; n < nameSlots; ++n) {
            const std::size_t at = (2 + n) * 32;
            b[at] = 0xC1 - off;
            for (std::size_t i = 0; i < 15 && n * 15 + i < s.name.size(); ++i)
                Put16(b, at + 2 + 2 * i, s.name[n * 15 + i]);
        }
        return b;
    }

    // The root's first slots: volume label, bitmap and up-case table entries.
    static std::vector<std::uint8_t> RootHeader(std::uint32_t clusterCount) {
        std::vector<std::uint8_t> b(96, 0);
        b[0] = 0x83;
        b[1] = 4;
        const char16_t label[] = u"TEST";
        for (int i = 0; i < 4; ++i) Put16(b, 2 + 2 * i, label[i]);
        b[32] = 0x81;
        Put32(b, 32 + 20, 2);
        Put64(b, 32 + 24, (clusterCount + 7) / 8);
        b[64] = 0x82;
        Put32(b, 64 + 4, 0);
        Put32(b, 64 + 20, 3);
        Put64(b, 64 + 24, 128);
        return b;
    }

    // Marks clusters 2 .. 2 + n - 1 in use in the bitmap (cluster 2).
    void MarkInUse(std::uint32_t n) {
        for (std::uint32_t i = 0; i < n; ++i)
            image_[ClusterOffset(2) + i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    }

    void WriteBoot(std::uint32_t rootCluster) {
        std::uint8_t* p = image_.data();
        p[0] = 0xEB;
        p[1] = 0x76;
        p[2] = 0x90;
        const char name[] = "EXFAT   ";
        std::copy_n(name, 8, p + 3);
        Put64(image_, 72, image_.size() / kSector);
        Put32(image_, 80, fatOffsetSectors);
        Put32(image_, 84, fatLengthSectors);
        Put32(image_, 88, heapOffsetSectors);
        Put32(image_, 92, clusterCount);
        Put32(image_, 96, rootCluster);
        Put32(image_, 100, 0x12345678);
        Put16(image_, 104, 0x0100);
        p[108] = 9;
        p[109] = spcShift_;
        p[110] = 1;
        p[111] = 0x80;
        p[510] = 0x55;
        p[511] = 0xAA;
    }

    void Save(const std::string& path) const {
        WriteBytes(path, image_);
    }

    static void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
        b[at] = v & 0xFF;
        b[at + 1] = v >> 8;
    }
    static void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    static void Put64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
        for (int i = 0; i < 8; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }

  private:
    void Put32(std::uint64_t at, std::uint32_t v) { Put32(image_, static_cast<std::size_t>(at), v); }

    std::uint8_t spcShift_;
    std::vector<std::uint8_t> image_;
    std::uint32_t next_ = 2;
};

// Deterministic content: every byte depends on its position and the seed.
inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + (i >> 9));
    return out;
}

inline std::vector<std::uint8_t> Concat(const std::vector<std::vector<std::uint8_t>>& parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace salvora::test
