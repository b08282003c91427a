#include "fs/fat/fat32_class.h"

#include <algorithm>

namespace salvora {
namespace {

constexpr std::uint32_t kClusterLimit = 0x0FFFFFF7;  // 0x0FFFFFF7 marks bad clusters, above it chains end
constexpr std::uint64_t kReadChunk = 8ull << 20;

}  // namespace

Fat32Class::Fat32Class() : FatParser(FatKind::Fat32) {}

bool Fat32Class::CheckBootSector() {
    ReadBootSector();
    rootValid_ = false;
    if (!boot_.msdosOem && !boot_.bsdOem && !PassesStructuralChecks(boot_, true)) return false;
    if (boot_.sectorsPerFat16 != 0) return false;  // a FAT12/FAT16 parameter block
    if (!HasUsableGeometry(boot_)) return false;
    const std::uint64_t bytesPerSector = boot_.bytesPerSector;
    fatStart_ = boot_.reservedSectors * bytesPerSector;
    fatBytes_ = std::uint64_t{boot_.sectorsPerFat32} * bytesPerSector;
    copyBytes_ = fatBytes_;
    rootCluster_ = boot_.rootCluster;
    bootValid_ = true;
    SetGeometry(
        bytesPerSector * (std::uint64_t{boot_.fatCount} * boot_.sectorsPerFat32 + boot_.reservedSectors),
        fatBytes_ / 4, kClusterLimit);
    for (auto& block : cache_) block = CacheBlock{};
    return true;
}

bool Fat32Class::ReadFatTable() {
    fatTable_.clear();
    for (auto& block : cache_) block = CacheBlock{};
    if (!bootValid_) return false;
    // Only the entries of clusters the volume can hold are ever looked at.
    std::uint64_t entries = std::min<std::uint64_t>(fatBytes_ / 4, ClusterLimit());
    if (const std::uint64_t bound = VolumeBound(); bound != 0)
        entries = std::min(entries, bound > fatStart_ ? (bound - fatStart_) / 4 : 0);
    SetGeometry(DataStart(), entries, kClusterLimit);
    const std::uint64_t bytes = entries * 4;
    if (bytes == 0 || bytes > kMaxFatInMemory) return bytes != 0;
    fatTable_.resize(bytes);
    for (std::uint64_t done = 0; done < bytes; done += kReadChunk)
        ReadFat(fatStart_, copyBytes_, done, fatTable_.data() + done, std::min(kReadChunk, bytes - done));
    return true;
}

bool Fat32Class::ReadRootDirectory() {
    rootValid_ = bootValid_ && rootCluster_ >= 2 && rootCluster_ < ClusterLimit();
    return rootValid_;
}

// Entry 0 is the media byte F8 in the low bits; entry 1 is all ones, with or without the reserved top bits
// (Windows writes FFFFFFFF, mkfs.fat 0FFFFFFF).
bool Fat32Class::IsFatSignature(Bytes sector) const {
    return le32(sector, 0) == 0x0FFFFFF8 && (le32(sector, 4) & 0x0FFFFFFF) == 0x0FFFFFFF;
}

void Fat32Class::LoadDeepFat(std::uint64_t fatOffset, std::uint64_t entries) {
    fatTable_.clear();
    for (auto& block : cache_) block = CacheBlock{};
    fatStart_ = fatOffset;
    copyBytes_ = 0;  // a FAT found by the search has no copies that a boot sector vouches for
    const std::uint64_t bound = VolumeBound();
    entries = std::min(entries, bound > fatOffset ? (bound - fatOffset) / 4 : 0);
    fatBytes_ = entries * 4;
    if (fatBytes_ == 0 || fatBytes_ > kMaxFatInMemory) return;
    fatTable_.resize(fatBytes_);
    for (std::uint64_t done = 0; done < fatBytes_; done += kReadChunk) {
        const auto chunk = static_cast<std::uint32_t>(std::min(kReadChunk, fatBytes_ - done));
        ReadAt(fatStart_ + done, fatTable_.data() + done, chunk);
    }
}

std::uint32_t Fat32Class::FatValue(std::uint32_t cluster) {
    const std::uint64_t at = std::uint64_t{cluster} * 4;
    if (!fatTable_.empty()) return le32(fatTable_, at);
    const std::uint64_t blockIndex = at / kCacheBlockBytes;
    CacheBlock& block = cache_[blockIndex % kCacheBlocks];
    if (block.blockIndex != blockIndex) {
        block.bytes.assign(kCacheBlockBytes, 0);
        ReadFat(fatStart_, copyBytes_, blockIndex * kCacheBlockBytes, block.bytes.data(), kCacheBlockBytes);
        block.blockIndex = blockIndex;
    }
    return le32(block.bytes, at % kCacheBlockBytes);
}

}  // namespace salvora
