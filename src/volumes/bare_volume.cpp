#include "volumes/bare_volume.h"

#include <array>
#include <cstring>
#include <vector>

namespace salvora {
namespace {

// FAT boot sector (BPB) fields.
constexpr std::size_t kJump = 0;
constexpr std::size_t kBytesPerSector = 11;
constexpr std::size_t kSectorsPerCluster = 13;
constexpr std::size_t kReservedSectors = 14;
constexpr std::size_t kFatCount = 16;
constexpr std::size_t kRootEntries = 17;
constexpr std::size_t kTotalSectors16 = 19;
constexpr std::size_t kSectorsPerFat16 = 22;
constexpr std::size_t kTotalSectors32 = 32;
constexpr std::size_t kBootSignature = 510;
constexpr std::size_t kExfatName = 3;
// A FAT with fewer clusters than this is FAT12, whatever its boot sector calls itself.
constexpr std::uint64_t kFat12MaxClusters = 4085;

// ext superblock and HFS+ volume header, both at byte 1024 of the volume.
constexpr std::size_t kHeaderAt = 1024;
constexpr std::size_t kExtMagic = kHeaderAt + 56;
constexpr std::uint16_t kExtMagicValue = 0xEF53;
constexpr std::uint16_t kHfsPlusSignature = 0x482B;  // "H+"
constexpr std::uint16_t kHfsxSignature = 0x4858;     // "HX"

bool IsPowerOfTwo(unsigned v) { return v != 0 && (v & (v - 1)) == 0; }

bool IsFatBootSector(Bytes b) {
    const std::uint8_t jump = u8(b, kJump);
    if (jump != 0xEB && jump != 0xE9) return false;
    const std::uint16_t bytesPerSector = le16(b, kBytesPerSector);
    if (bytesPerSector != 512 && bytesPerSector != 1024 && bytesPerSector != 2048 && bytesPerSector != 4096)
        return false;
    const std::uint8_t fatCount = u8(b, kFatCount);
    return IsPowerOfTwo(u8(b, kSectorsPerCluster)) && le16(b, kReservedSectors) > 0 && fatCount >= 1 &&
           fatCount <= 4 && u8(b, kBootSignature) == 0x55 && u8(b, kBootSignature + 1) == 0xAA;
}

BareKind Fat12Or16(Bytes b) {
    const std::uint64_t bytesPerSector = le16(b, kBytesPerSector);
    const std::uint64_t total16 = le16(b, kTotalSectors16);
    const std::uint64_t sectorCount = total16 != 0 ? total16 : le32(b, kTotalSectors32);
    const std::uint64_t rootSectors = (le16(b, kRootEntries) * 32ull + bytesPerSector - 1) / bytesPerSector;
    const std::uint64_t overhead = le16(b, kReservedSectors) +
                                   u8(b, kFatCount) * static_cast<std::uint64_t>(le16(b, kSectorsPerFat16)) +
                                   rootSectors;
    // A damaged total that does not even cover the FATs says nothing about the type; FAT16 is the safer
    // guess.
    if (sectorCount <= overhead) return BareKind::Fat16;
    const std::uint64_t clusters = (sectorCount - overhead) / u8(b, kSectorsPerCluster);
    return clusters < kFat12MaxClusters ? BareKind::Fat12 : BareKind::Fat16;
}

}  // namespace

BareKind DetectBareVolume(Bytes head) {
    if (Fits(head, kExfatName, 8) && std::memcmp(head.data() + kExfatName, "EXFAT   ", 8) == 0)
        return BareKind::ExFat;
    if (Fits(head, kExfatName, 8) && std::memcmp(head.data() + kExfatName, "NTFS    ", 8) == 0 &&
        u8(head, kJump) == 0xEB && u8(head, kBootSignature) == 0x55 && u8(head, kBootSignature + 1) == 0xAA)
        return BareKind::Ntfs;
    if (IsFatBootSector(head)) return le16(head, kSectorsPerFat16) == 0 ? BareKind::Fat32 : Fat12Or16(head);
    if (Fits(head, kExtMagic, 2) && le16(head, kExtMagic) == kExtMagicValue) return BareKind::Ext;
    if (Fits(head, kHeaderAt, 2)) {
        const std::uint16_t signature = be16(head, kHeaderAt);
        if (signature == kHfsPlusSignature || signature == kHfsxSignature) return BareKind::HfsPlus;
    }
    return BareKind::None;
}

std::string BareVolumeLabel(BareKind kind) {
    switch (kind) {
        case BareKind::Fat12:
            return "FAT12";
        case BareKind::Fat16:
            return "FAT16";
        case BareKind::Fat32:
            return "FAT32";
        case BareKind::ExFat:
            return "FAT64";
        case BareKind::Ext:
            return "extX";
        case BareKind::HfsPlus:
            return "HFS+";
        case BareKind::Ntfs:
            return "NTFS";
        case BareKind::None:
            break;
    }
    return {};
}

std::optional<VolumeEntry> ProbeBareVolume(readWriteInterface& reader) {
    std::vector<std::uint8_t> head(kBareProbeBytes, 0);
    ByteRanges missing;
    reader.ReadAt(0, head, &missing);  // a source shorter than the probe still counts: the tail reads as zeros
    BareKind kind = DetectBareVolume(head);
    // An unreadable sector 0 hides no FAT32 or exFAT volume for good: their backup boot sectors say the same.
    if (kind == BareKind::None && !missing.empty() && missing.front().offset < kSectorBytes) {
        std::vector<std::uint8_t> backup(kBareProbeBytes, 0);
        if (reader.ReadAt(kFat32BackupSector * kSectorBytes, std::span(backup).first(kSectorBytes)) &&
            DetectBareVolume(backup) == BareKind::Fat32)
            kind = BareKind::Fat32;
        else if (reader.ReadAt(kExfatBackupSector * kSectorBytes, std::span(backup).first(kSectorBytes)) &&
                 DetectBareVolume(backup) == BareKind::ExFat)
            kind = BareKind::ExFat;
    }
    // An NTFS volume keeps its backup boot sector in its last sector: one that spans the whole source from
    // sector 0, whose sector 0 holds nothing else (no partition table), is that volume.
    if (kind == BareKind::None && u8(head, 510) != 0x55 && reader.sourceLength >= 2 * kBareProbeBytes) {
        std::vector<std::uint8_t> last(kBareProbeBytes, 0);
        const std::uint64_t at = reader.sourceLength / kSectorBytes * kSectorBytes - kSectorBytes;
        if (reader.ReadAt(at, std::span(last).first(kSectorBytes)) && DetectBareVolume(last) == BareKind::Ntfs &&
            le64(last, 0x28) * le16(last, 0x0B) == at)
            kind = BareKind::Ntfs;
    }
    if (kind == BareKind::None) return std::nullopt;
    constexpr std::uint64_t kMiB = 1048576;
    const std::uint64_t sizeMiB = reader.sourceLength / kMiB + (reader.sourceLength % kMiB != 0 ? 1 : 0);
    VolumeEntry entry;
    entry.fileSystemLabel = BareVolumeLabel(kind);
    entry.volumeName = std::string(1, '0');
    entry.sizeText = std::to_string(sizeMiB) + "  MB";
    entry.sizeBytes = reader.sourceLength;
    return entry;
}

}  // namespace salvora
