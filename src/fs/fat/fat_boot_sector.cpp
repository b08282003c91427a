#include "fs/fat/fat_boot_sector.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace salvora {
namespace {

constexpr std::size_t kOemName = 3;
constexpr std::size_t kBytesPerSector = 11;
constexpr std::size_t kSectorsPerCluster = 13;
constexpr std::size_t kReservedSectors = 14;
constexpr std::size_t kFatCount = 16;
constexpr std::size_t kRootEntryCount = 17;
constexpr std::size_t kTotalSectors16 = 19;
constexpr std::size_t kSectorsPerFat16 = 22;
constexpr std::size_t kTotalSectors32 = 32;
constexpr std::size_t kSectorsPerFat32 = 36;
constexpr std::size_t kRootCluster = 44;

bool PrefixIs(Bytes sector, std::size_t off, std::string_view text) {
    if (!Fits(sector, off, text.size())) return false;
    return std::equal(text.begin(), text.end(), sector.begin() + static_cast<std::ptrdiff_t>(off),
                      [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

}  // namespace

FatBootSector DecodeFatBootSector(Bytes sector) {
    FatBootSector boot;
    boot.msdosOem = PrefixIs(sector, kOemName, "MSDOS");
    boot.bsdOem = PrefixIs(sector, kOemName, "BSD");
    boot.bytesPerSector = le16(sector, kBytesPerSector);
    boot.sectorsPerCluster = u8(sector, kSectorsPerCluster);
    boot.reservedSectors = le16(sector, kReservedSectors);
    boot.fatCount = u8(sector, kFatCount);
    boot.rootEntryCount = le16(sector, kRootEntryCount);
    boot.totalSectors16 = le16(sector, kTotalSectors16);
    boot.sectorsPerFat16 = le16(sector, kSectorsPerFat16);
    boot.totalSectors32 = le32(sector, kTotalSectors32);
    boot.sectorsPerFat32 = le32(sector, kSectorsPerFat32);
    boot.rootCluster = le32(sector, kRootCluster);
    return boot;
}

bool HasUsableGeometry(const FatBootSector& boot) {
    constexpr std::array<std::uint16_t, 4> kSectorSizes{512, 1024, 2048, 4096};
    return std::find(kSectorSizes.begin(), kSectorSizes.end(), boot.bytesPerSector) != kSectorSizes.end() &&
           boot.sectorsPerCluster != 0;
}

}  // namespace salvora
