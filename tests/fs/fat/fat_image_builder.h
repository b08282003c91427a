#pragma once
// A tiny FAT16/FAT32 image maker for the parser tests: a boot sector, two FATs, a root directory and
// clusters, with slots written byte by byte so that tests can build the broken layouts real tools never make.
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fs/fat/fat_names.h"
#include "fixture_util.h"

namespace salvora::test {

using Slot = std::array<std::uint8_t, 32>;

inline void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, static_cast<std::uint16_t>(v));
    Put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

constexpr std::uint16_t DosDateWord(int year, int month, int day) {
    return static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}
constexpr std::uint16_t DosTimeWord(int hour, int minute, int second) {
    return static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

struct SlotTimes {
    std::uint16_t creationTime = DosTimeWord(10, 20, 30);
    std::uint16_t creationDate = DosDateWord(2021, 3, 4);
    std::uint16_t accessDate = DosDateWord(2022, 5, 6);
    std::uint16_t writeTime = DosTimeWord(13, 5, 10);
    std::uint16_t writeDate = DosDateWord(2023, 7, 8);
};

// name11: the 11 on-disk name bytes ("README  TXT").
inline Slot ShortSlot(const std::string& name11, std::uint8_t attributes, std::uint32_t firstCluster,
                      std::uint32_t size, const SlotTimes& t = {}) {
    Slot s{};
    for (std::size_t i = 0; i < 11; ++i)
        s[i] = i < name11.size() ? static_cast<std::uint8_t>(name11[i]) : ' ';
    s[11] = attributes;
    s[13] = 7;
    Put16(&s[14], t.creationTime);
    Put16(&s[16], t.creationDate);
    Put16(&s[18], t.accessDate);
    Put16(&s[20], static_cast<std::uint16_t>(firstCluster >> 16));
    Put16(&s[22], t.writeTime);
    Put16(&s[24], t.writeDate);
    Put16(&s[26], static_cast<std::uint16_t>(firstCluster));
    Put32(&s[28], size);
    return s;
}

inline std::uint8_t ShortNameChecksum(const Slot& shortSlot) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + shortSlot[i]);
    return sum;
}

// The long-name slots for name, in disk order (last piece first), as a driver writes them.
inline std::vector<Slot> LongNameSlots(const std::u16string& name, std::uint8_t checksum = 0) {
    static constexpr std::array<std::size_t, 13> kOffsets{1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    const std::size_t pieces = (name.size() + 12) / 13;
    std::vector<Slot> slots;
    for (std::size_t p = pieces; p-- > 0;) {
        Slot s{};
        s[0] = static_cast<std::uint8_t>((p + 1) | (p + 1 == pieces ? 0x40 : 0));
        s[11] = 0x0F;
        s[13] = checksum;
        for (std::size_t u = 0; u < 13; ++u) {
            const std::size_t at = p * 13 + u;
            std::uint16_t unit = at < name.size() ? name[at] : (at == name.size() ? 0x0000 : 0xFFFF);
            Put16(&s[kOffsets[u]], unit);
        }
        slots.push_back(s);
    }
    return slots;
}

inline Slot Deleted(Slot s) {
    s[0] = 0xE5;
    return s;
}

class FatImageBuilder {
  public:
    // A volume of clusterCount data clusters of one 512-byte sector each, unless told otherwise.
    explicit FatImageBuilder(FatKind kind, std::uint32_t clusterCount = 4096,
                             std::uint8_t sectorsPerCluster = 1)
        : kind_(kind), spc_(sectorsPerCluster) {
        const std::uint32_t entryBytes = kind == FatKind::Fat16 ? 2 : 4;
        fatSectors_ = ((clusterCount + 2) * entryBytes + 511) / 512;
        reserved_ = kind == FatKind::Fat16 ? 1 : 32;
        rootEntries_ = kind == FatKind::Fat16 ? 512 : 0;
        fatStart_ = reserved_ * 512ull;
        rootStart_ = fatStart_ + 2ull * fatSectors_ * 512;
        dataStart_ = rootStart_ + rootEntries_ * 32ull;
        totalSectors_ = static_cast<std::uint32_t>(dataStart_ / 512 + std::uint64_t{clusterCount} * spc_);
        image.assign(std::uint64_t{totalSectors_} * 512, 0);
        WriteBoot();
        SetFat(0, kind == FatKind::Fat16 ? 0xFFF8 : 0x0FFFFFF8);
        SetFat(1, EndMark());
        if (kind == FatKind::Fat32) {
            SetFat(2, EndMark());
            nextFree_ = 3;
        }
    }

    std::vector<std::uint8_t> image;

    std::uint32_t EndMark() const { return kind_ == FatKind::Fat16 ? 0xFFFF : 0x0FFFFFFF; }
    std::uint64_t ClusterBytes() const { return 512ull * spc_; }
    std::uint64_t ClusterOffset(std::uint32_t c) const { return dataStart_ + (c - 2) * ClusterBytes(); }
    std::uint64_t RootOffset() const { return rootStart_; }
    std::uint64_t FatOffset() const { return fatStart_; }

    void SetFat(std::uint32_t cluster, std::uint32_t value) {
        for (int copy = 0; copy < 2; ++copy) {
            std::uint8_t* p = &image[fatStart_ + copy * fatSectors_ * 512ull];
            if (kind_ == FatKind::Fat16) {
                Put16(p + cluster * 2, static_cast<std::uint16_t>(value));
            } else {
                Put32(p + cluster * 4, value);
            }
        }
    }
    std::uint32_t Fat(std::uint32_t cluster) const {
        const std::uint8_t* p = &image[fatStart_];
        if (kind_ == FatKind::Fat16) return p[cluster * 2] | (p[cluster * 2 + 1] << 8);
        return p[cluster * 4] | (p[cluster * 4 + 1] << 8) | (p[cluster * 4 + 2] << 16) |
               (static_cast<std::uint32_t>(p[cluster * 4 + 3]) << 24);
    }
    void Poke(std::uint64_t offset, const void* data, std::size_t n) { std::memcpy(&image[offset], data, n); }
    void PokeBoot(std::size_t offset, std::uint32_t value, int width) {
        if (width == 1) image[offset] = static_cast<std::uint8_t>(value);
        if (width == 2) Put16(&image[offset], static_cast<std::uint16_t>(value));
        if (width == 4) Put32(&image[offset], value);
    }

    // Allocates n clusters one after another, chained, and returns the first.
    std::uint32_t Allocate(std::uint32_t n) {
        const std::uint32_t first = nextFree_;
        for (std::uint32_t i = 0; i < n; ++i) SetFat(first + i, i + 1 < n ? first + i + 1 : EndMark());
        nextFree_ += n;
        return first;
    }
    void Skip(std::uint32_t n) { nextFree_ += n; }

    // A directory: where its next slot goes. clusters empty = the FAT16 root area.
    struct Dir {
        std::vector<std::uint32_t> clusters;
        std::size_t used = 0;
    };
    Dir Root() {
        Dir d;
        if (kind_ == FatKind::Fat32) d.clusters.push_back(2);
        return d;
    }
    std::uint64_t SlotOffset(const Dir& d, std::size_t index) const {
        if (d.clusters.empty()) return rootStart_ + index * 32;
        const std::size_t perCluster = ClusterBytes() / 32;
        return ClusterOffset(d.clusters.at(index / perCluster)) + (index % perCluster) * 32;
    }
    void Append(Dir& d, const Slot& s) {
        const std::size_t perCluster = ClusterBytes() / 32;
        if (!d.clusters.empty() && d.used == d.clusters.size() * perCluster) {
            const std::uint32_t c = Allocate(1);
            SetFat(d.clusters.back(), c);
            d.clusters.push_back(c);
        }
        Poke(SlotOffset(d, d.used++), s.data(), 32);
    }
    void Append(Dir& d, const std::vector<Slot>& slots) {
        for (const auto& s : slots) Append(d, s);
    }

    // A file with content in fresh consecutive clusters; returns its first cluster.
    std::uint32_t AddFile(Dir& d, const std::string& name11, const std::vector<std::uint8_t>& content,
                          std::uint8_t attributes = 0x20, const std::u16string& longName = {},
                          const SlotTimes& t = {}) {
        const auto n = static_cast<std::uint32_t>((content.size() + ClusterBytes() - 1) / ClusterBytes());
        const std::uint32_t first = n ? Allocate(n) : 0;
        if (n) Poke(ClusterOffset(first), content.data(), content.size());
        const Slot s = ShortSlot(name11, attributes, first, static_cast<std::uint32_t>(content.size()), t);
        if (!longName.empty()) Append(d, LongNameSlots(longName, ShortNameChecksum(s)));
        Append(d, s);
        return first;
    }
    Dir AddDir(Dir& parent, const std::string& name11, const std::u16string& longName = {},
               std::uint8_t attributes = 0x10) {
        Dir d;
        const std::uint32_t c = Allocate(1);
        d.clusters.push_back(c);
        const std::uint32_t parentCluster =
            parent.clusters.empty() || parent.clusters[0] == 2 ? 0 : parent.clusters[0];
        Append(d, ShortSlot(".          ", 0x10, c, 0));
        Append(d, ShortSlot("..         ", 0x10, parentCluster, 0));
        const Slot s = ShortSlot(name11, attributes, c, 0);
        if (!longName.empty()) Append(parent, LongNameSlots(longName, ShortNameChecksum(s)));
        Append(parent, s);
        return d;
    }

    std::filesystem::path Write(const std::string& name) const {
        // ctest runs tests in processes of their own, several at once: a name alone could be shared.
        const auto path = std::filesystem::temp_directory_path() /
                          ("salvora-fat-" + std::to_string(::getpid()) + "-" + name + ".img");
        return WriteBytes(path, image);
    }

  private:
    void WriteBoot() {
        std::uint8_t* b = image.data();
        b[0] = 0xEB;
        b[1] = 0x3C;
        b[2] = 0x90;
        std::memcpy(b + 3, "MSDOS5.0", 8);
        Put16(b + 11, 512);
        b[13] = spc_;
        Put16(b + 14, static_cast<std::uint16_t>(reserved_));
        b[16] = 2;
        Put16(b + 17, static_cast<std::uint16_t>(rootEntries_));
        if (totalSectors_ < 65536 && kind_ == FatKind::Fat16) {
            Put16(b + 19, static_cast<std::uint16_t>(totalSectors_));
        } else {
            Put32(b + 32, totalSectors_);
        }
        b[21] = 0xF8;
        if (kind_ == FatKind::Fat16) {
            Put16(b + 22, static_cast<std::uint16_t>(fatSectors_));
        } else {
            Put32(b + 36, fatSectors_);
            Put32(b + 44, 2);
        }
        b[510] = 0x55;
        b[511] = 0xAA;
    }

    FatKind kind_;
    std::uint8_t spc_;
    std::uint32_t fatSectors_ = 0;
    std::uint32_t reserved_ = 0;
    std::uint32_t rootEntries_ = 0;
    std::uint64_t fatStart_ = 0;
    std::uint64_t rootStart_ = 0;
    std::uint64_t dataStart_ = 0;
    std::uint32_t totalSectors_ = 0;
    std::uint32_t nextFree_ = 2;
};

inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 9));
    return v;
}

}  // namespace salvora::test
