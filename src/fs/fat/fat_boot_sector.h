#pragma once
// The FAT16/FAT32 boot sector fields both parsers read, decoded from the volume's first sector.
#include <cstdint>

#include "io/bytes.h"

namespace salvora {

inline constexpr std::uint32_t kBootSectorBytes = 512;

struct FatBootSector {
    bool msdosOem = false;     // bytes 3-7 "MSDOS"
    bool bsdOem = false;       // bytes 3-5 "BSD"
    bool jumpOk = false;       // EB xx 90 or E9 xx xx
    bool signatureOk = false;  // 55 AA at 510
    std::uint16_t bytesPerSector = 0;
    std::uint8_t sectorsPerCluster = 0;
    std::uint16_t reservedSectors = 0;
    std::uint8_t fatCount = 0;
    std::uint16_t rootEntryCount = 0;
    std::uint16_t totalSectors16 = 0;
    std::uint16_t sectorsPerFat16 = 0;
    std::uint32_t totalSectors32 = 0;
    std::uint32_t sectorsPerFat32 = 0;
    std::uint32_t rootCluster = 0;

    std::uint64_t TotalSectors() const { return totalSectors16 != 0 ? totalSectors16 : totalSectors32; }
    std::uint64_t ClusterBytes() const { return std::uint64_t{bytesPerSector} * sectorsPerCluster; }
};

FatBootSector DecodeFatBootSector(Bytes sector);

// 512, 1024, 2048 or 4096 bytes per sector and a non-zero sectors-per-cluster factor: anything else cannot be
// walked and is refused rather than guessed at.
bool HasUsableGeometry(const FatBootSector& boot);

// Formatters other than the one that writes "MSDOS5.0" (mkfs.fat, mtools, cameras, phones) put their own
// name at byte 3. A boot sector is still taken for FAT16 or FAT32 when its structure says so: the jump, 512
// to 4096 bytes per sector, a power of two 1-128 sectors per cluster, reserved sectors, 1-4 FATs, the 55 AA
// signature, and the FAT-size fields of its type (FAT16 also a root directory).
bool PassesStructuralChecks(const FatBootSector& boot, bool fat32);

}  // namespace salvora
