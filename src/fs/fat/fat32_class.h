#pragma once
// FAT32 volumes: the FAT is held in memory up to 64 MiB, else looked up through a sector cache; the root
// directory is the chain that starts at the boot sector's root cluster.
#include <array>
#include <cstdint>
#include <vector>

#include "fs/fat/fat_parser.h"

namespace salvora {

class Fat32Class final : public FatParser {
  public:
    Fat32Class();

    // MSDOS or BSD OEM prefix or a boot sector whose structure is FAT32's, a sane parameter block and a zero
    // 16-bit FAT size (non-zero means "not FAT32").
    bool CheckBootSector() override;
    // Loads the first FAT copy (bounded by the volume's cluster count) or sets up the sector cache.
    bool ReadFatTable() override;
    // The root is the chain that starts at the boot sector's root cluster (offset 44), walked like any
    // directory with the loop guard; false when that cluster lies outside the table or the volume.
    bool ReadRootDirectory() override;
    std::uint32_t EndOfChain() const override { return 0x0FFFFFFF; }

    // Tables above this size are read through the sector cache instead of being loaded.
    static constexpr std::uint64_t kMaxFatInMemory = 64ull << 20;

  protected:
    std::uint32_t FatValue(std::uint32_t cluster) override;
    std::uint32_t RootChainCluster() const override { return rootValid_ ? rootCluster_ : 0; }
    // F8 FF FF 0F, then entry 1 all ones (FF FF FF FF or FF FF FF 0F).
    bool IsFatSignature(Bytes sector) const override;
    void LoadDeepFat(std::uint64_t fatOffset, std::uint64_t entries) override;

  private:
    static constexpr std::uint32_t kCacheBlockBytes = 64 * 1024;
    static constexpr std::size_t kCacheBlocks = 64;
    struct CacheBlock {
        std::uint64_t blockIndex = UINT64_MAX;
        std::vector<std::uint8_t> bytes;
    };

    std::uint64_t fatStart_ = 0;
    std::uint64_t fatBytes_ = 0;
    std::uint64_t copyBytes_ = 0;  // from one FAT copy to the next, as the boot sector says
    std::vector<std::uint8_t> fatTable_;
    std::array<CacheBlock, kCacheBlocks> cache_{};
    std::uint32_t rootCluster_ = 0;
    bool rootValid_ = false;
};

}  // namespace salvora
