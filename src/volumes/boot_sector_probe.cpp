#include "volumes/boot_sector_probe.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace salvora {
namespace {

constexpr std::size_t kJumpByte = 0;
constexpr std::size_t kJumpOffset = 1;
constexpr std::size_t kOemName = 3;
constexpr std::size_t kBytesPerSector = 11;
constexpr std::size_t kSectorsPerCluster = 13;
constexpr std::size_t kReservedSectors = 14;
constexpr std::size_t kFatCount = 16;
constexpr std::size_t kRootEntries = 17;
constexpr std::size_t kFatSectorsPerFat32 = 36;
constexpr std::size_t kBootSignature = 510;
constexpr std::size_t kFatTotalSectors16 = 19;
constexpr std::size_t kFatSectorsPerFat16 = 22;
constexpr std::size_t kFatTotalSectors32 = 32;
constexpr std::size_t kNtfsTotalSectors = 40;
constexpr std::size_t kExfatVolumeLength = 72;
constexpr std::size_t kHfsBlockSize = 40;
constexpr std::size_t kHfsTotalBlocks = 44;

constexpr std::uint8_t kJump = 0xEB;
constexpr std::uint8_t kNtfsJumpOffset = 0x52;
constexpr std::array<std::uint8_t, 3> kFatJumpOffsets{0x3C, 0x58, 0x76};

bool HasText(Bytes buf, std::size_t off, const char* text) {
    const std::size_t n = std::strlen(text);
    return Fits(buf, off, n) && std::memcmp(buf.data() + off, text, n) == 0;
}

bool HasFatJump(Bytes s) {
    return u8(s, kJumpByte) == kJump && std::find(kFatJumpOffsets.begin(), kFatJumpOffsets.end(),
                                                  u8(s, kJumpOffset)) != kFatJumpOffsets.end();
}

// Formatters other than the one that writes "MSDOS5.0" (mkfs.fat, mtools, cameras, phones) put their own name
// at byte 3; their boot sectors are known by structure instead.
bool HasFatStructure(Bytes s) {
    const std::uint16_t bytesPerSector = le16(s, kBytesPerSector);
    const std::uint8_t spc = u8(s, kSectorsPerCluster);
    const std::uint8_t fats = u8(s, kFatCount);
    const bool sectorOk =
        bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 || bytesPerSector == 4096;
    if (!sectorOk || spc == 0 || spc > 128 || (spc & (spc - 1)) != 0) return false;
    if (le16(s, kReservedSectors) < 1 || fats < 1 || fats > 4) return false;
    if (u8(s, kBootSignature) != 0x55 || u8(s, kBootSignature + 1) != 0xAA) return false;
    if (le16(s, kFatSectorsPerFat16) == 0) return le32(s, kFatSectorsPerFat32) > 0;
    return le16(s, kRootEntries) > 0;
}

BootSectorProbe ProbeFat(Bytes s, ProbeRules rules) {
    const std::uint16_t sectorsPerFat = le16(s, kFatSectorsPerFat16);
    if (sectorsPerFat == 0) return {BootKind::Fat32, le32(s, kFatTotalSectors32)};
    if (sectorsPerFat == 200 || sectorsPerFat == 256 || (rules.fat16Accepts128 && sectorsPerFat == 128)) {
        const std::uint16_t total16 = le16(s, kFatTotalSectors16);
        return {BootKind::Fat16, total16 != 0 ? total16 : le32(s, kFatTotalSectors32)};
    }
    // Only one formatter makes every FAT16 table 200 or 256 sectors long; any other FAT16 volume is known by its
    // structure and its cluster count; below 4085 clusters it is FAT12.
    if (HasFatStructure(s)) {
        const std::uint16_t total16 = le16(s, kFatTotalSectors16);
        const std::uint64_t total = total16 != 0 ? total16 : le32(s, kFatTotalSectors32);
        const std::uint64_t bytesPerSector = le16(s, kBytesPerSector);
        const std::uint64_t rootSectors = (le16(s, kRootEntries) * 32ull + bytesPerSector - 1) / bytesPerSector;
        const std::uint64_t meta = le16(s, kReservedSectors) + u8(s, kFatCount) * std::uint64_t{sectorsPerFat} +
                                   rootSectors;
        const std::uint64_t clusters = total > meta ? (total - meta) / u8(s, kSectorsPerCluster) : 0;
        if (clusters >= 4085 && clusters < 65525) return {BootKind::Fat16, total * bytesPerSector / 512};
        if (clusters > 0 && clusters < 4085) return {BootKind::Fat12, total * bytesPerSector / 512};
    }
    return {BootKind::FatUnknown, 0};
}

}  // namespace

BootSectorProbe ProbeBootSector(Bytes s, ProbeRules rules) {
    if (IsDynamicDiskRecord(s)) return {};
    if (u8(s, kJumpByte) == kJump && u8(s, kJumpOffset) == kNtfsJumpOffset &&
        le16(s, kBytesPerSector) == 512 && (!rules.ntfsNeedsOemName || HasText(s, kOemName, "NTFS")))
        return {BootKind::Ntfs, le64(s, kNtfsTotalSectors)};
    if (!HasFatJump(s)) return {};
    if (HasText(s, kOemName, "EXFA")) return {BootKind::Exfat, le64(s, kExfatVolumeLength)};
    if (HasText(s, kOemName, "MSDO") || HasFatStructure(s)) return ProbeFat(s, rules);
    return {};
}

bool IsExfatBoot(Bytes s) { return HasFatJump(s) && HasText(s, kOemName, "EXFA"); }

bool IsHfsPlusSignature(Bytes h) {
    // HFSX is HFS+ with case-sensitive names; its structures are the same.
    return u8(h, 0) == 'H' && (u8(h, 1) == '+' || u8(h, 1) == 'X') && Fits(h, 2, 1) && h[2] == 0x00;
}

std::uint64_t HfsPlusVolumeBytes(Bytes h) {
    return static_cast<std::uint64_t>(be32(h, kHfsBlockSize)) * be32(h, kHfsTotalBlocks);
}

bool IsDynamicDiskRecord(Bytes s) { return HasText(s, 0, "VBLK"); }

}  // namespace salvora
