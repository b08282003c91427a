#include "fs/fat/fat16_class.h"

#include <algorithm>

namespace salvora {
namespace {

// A FAT16 table addresses at most 65,536 clusters; anything a boot sector claims beyond that is never read.
constexpr std::uint64_t kMaxTableBytes = 65536 * 2;
constexpr std::uint32_t kClusterLimit = 0xFFF7;  // 0xFFF7 marks bad clusters, 0xFFF8-0xFFFF end a chain
constexpr std::uint32_t kClusterLimit12 = 0xFF7;
constexpr std::uint64_t kMaxFat12Clusters = 4085;

}  // namespace

Fat16Class::Fat16Class(bool twelveBit) : FatParser(FatKind::Fat16), twelveBit_(twelveBit) {}

bool Fat16Class::CheckBootSector() {
    ReadBootSector();
    if (!boot_.msdosOem && !PassesStructuralChecks(boot_, false)) return false;
    if (boot_.sectorsPerFat16 == 0) return false;  // a FAT32 parameter block
    if (!HasUsableGeometry(boot_)) return false;
    const std::uint64_t bytesPerSector = boot_.bytesPerSector;
    fatStart_ = boot_.reservedSectors * bytesPerSector;
    rootDirOffset_ =
        bytesPerSector * (std::uint64_t{boot_.fatCount} * boot_.sectorsPerFat16 + boot_.reservedSectors);
    rootDirBytes_ = std::uint64_t{boot_.rootEntryCount} * 32;
    const std::uint64_t dataSector = (rootDirOffset_ + rootDirBytes_ + bytesPerSector - 1) / bytesPerSector;
    const std::uint64_t total = boot_.TotalSectors();
    twelveBit_ = total > dataSector && (total - dataSector) / boot_.sectorsPerCluster < kMaxFat12Clusters;
    bootValid_ = true;
    SetGeometry(rootDirOffset_ + rootDirBytes_, TableEntries(kMaxTableBytes), Limit());
    return true;
}

bool Fat16Class::ReadFatTable() {
    fatTable_.clear();
    if (!bootValid_) return false;
    std::uint64_t bytes =
        std::min<std::uint64_t>(std::uint64_t{boot_.sectorsPerFat16} * boot_.bytesPerSector, kMaxTableBytes);
    if (const std::uint64_t bound = VolumeBound(); bound != 0)
        bytes = std::min(bytes, bound > fatStart_ ? bound - fatStart_ : 0);
    fatTable_.resize(bytes);
    if (bytes != 0)
        ReadFat(fatStart_, std::uint64_t{boot_.sectorsPerFat16} * boot_.bytesPerSector, 0, fatTable_.data(), bytes);
    SetGeometry(rootDirOffset_ + rootDirBytes_, TableEntries(bytes), Limit());
    return bytes != 0;
}

bool Fat16Class::ReadRootDirectory() {
    rootDir_.clear();
    if (!bootValid_ || rootDirBytes_ == 0) return false;
    std::uint64_t bytes = rootDirBytes_;  // at most 65,535 x 32
    if (const std::uint64_t bound = VolumeBound(); bound != 0)
        bytes = std::min(bytes, bound > rootDirOffset_ ? bound - rootDirOffset_ : 0);
    bytes -= bytes % 32;
    rootDir_.resize(bytes);
    if (bytes != 0) ReadAt(rootDirOffset_, rootDir_.data(), static_cast<std::uint32_t>(bytes));
    return bytes != 0;
}

bool Fat16Class::IsFatSignature(Bytes sector) const {
    // FAT12: a media byte (F0 for floppies, F8-FF otherwise) and entry 1 FFF.
    if (twelveBit_) return u8(sector, 0) >= 0xF0 && u8(sector, 1) == 0xFF && u8(sector, 2) == 0xFF;
    return le32(sector, 0) == 0xFFFFFFF8;  // media F8, entry 1 FFFF
}

void Fat16Class::LoadDeepFat(std::uint64_t fatOffset, std::uint64_t entries) {
    std::uint64_t bytes = std::min(twelveBit_ ? (entries * 3 + 1) / 2 : entries * 2, kMaxTableBytes);
    const std::uint64_t bound = VolumeBound();
    bytes = std::min(bytes, bound > fatOffset ? bound - fatOffset : 0);
    fatTable_.assign(bytes, 0);
    if (bytes != 0) ReadAt(fatOffset, fatTable_.data(), static_cast<std::uint32_t>(bytes));
}

std::pair<std::uint64_t, std::uint64_t> Fat16Class::BootRootArea() const {
    return {rootDirOffset_, rootDirBytes_};
}

std::uint32_t Fat16Class::FatValue(std::uint32_t cluster) {
    if (!twelveBit_) return le16(fatTable_, std::size_t{cluster} * 2);
    // Two entries share three bytes: the even one takes the low 12 bits, the odd one the high 12.
    const std::uint16_t pair = le16(fatTable_, std::size_t{cluster} * 3 / 2);
    return (cluster & 1) ? pair >> 4 : pair & 0x0FFFu;
}

std::uint64_t Fat16Class::TableEntries(std::uint64_t tableBytes) const {
    return twelveBit_ ? tableBytes * 2 / 3 : tableBytes / 2;
}

std::uint32_t Fat16Class::Limit() const { return twelveBit_ ? kClusterLimit12 : kClusterLimit; }

}  // namespace salvora
