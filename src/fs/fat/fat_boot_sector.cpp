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
    boot.jumpOk = (u8(sector, 0) == 0xEB && u8(sector, 2) == 0x90) || u8(sector, 0) == 0xE9;
    boot.signatureOk = u8(sector, 510) == 0x55 && u8(sector, 511) == 0xAA;
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

bool PassesStructuralChecks(const FatBootSector& boot, bool fat32) {
    const std::uint8_t spc = boot.sectorsPerCluster;
    const bool powerOfTwo = spc != 0 && (spc & (spc - 1)) == 0 && spc <= 128;
    if (!boot.jumpOk || !boot.signatureOk || !HasUsableGeometry(boot) || !powerOfTwo) return false;
    if (boot.reservedSectors < 1 || boot.fatCount < 1 || boot.fatCount > 4) return false;
    if (fat32) return boot.sectorsPerFat16 == 0 && boot.sectorsPerFat32 > 0;
    return boot.sectorsPerFat16 > 0 && boot.rootEntryCount > 0;
}

}  // namespace salvora
