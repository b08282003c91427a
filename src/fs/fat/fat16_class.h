#pragma once
// FAT16 and FAT12 volumes: the FAT and the fixed root directory are held in memory; subdirectories and file
// content are read by cluster runs through the sector reader. FAT12 differs only in its 12-bit table entries.
#include <cstdint>
#include <vector>

#include "fs/fat/fat_parser.h"

namespace salvora {

class Fat16Class final : public FatParser {
  public:
    // twelveBit: read the table as FAT12 until a boot sector that passes says which it is.
    explicit Fat16Class(bool twelveBit = false);

    // MSDOS OEM prefix or a boot sector whose structure is FAT16's, a sane parameter block
    // (512/1024/2048/4096 bytes per sector, sectors per cluster not 0) and a non-zero 16-bit FAT size; the
    // last failing means "not FAT16" (perhaps FAT32).
    bool CheckBootSector() override;
    // Loads the first FAT copy, at most the 65,536 entries a FAT16 table can address.
    bool ReadFatTable() override;
    // Loads the fixed root directory area (root entry count x 32 bytes).
    bool ReadRootDirectory() override;
    std::uint32_t EndOfChain() const override { return 0xFFFF; }
    // Fewer than 4,085 clusters make a FAT12 volume, whatever its boot sector calls itself.
    bool TwelveBit() const { return twelveBit_; }

    std::uint64_t RootDirBytes() const { return rootDirBytes_; }

  protected:
    std::uint32_t FatValue(std::uint32_t cluster) override;
    const std::vector<std::uint8_t>* RootArea() const override { return &rootDir_; }
    // F8 FF FF FF: media byte F8, entry 1 FFFF.
    bool IsFatSignature(Bytes sector) const override;
    void LoadDeepFat(std::uint64_t fatOffset, std::uint64_t entries) override;
    std::pair<std::uint64_t, std::uint64_t> BootRootArea() const override;

  private:
    std::uint64_t TableEntries(std::uint64_t tableBytes) const;
    std::uint32_t Limit() const;

    std::vector<std::uint8_t> fatTable_;
    std::vector<std::uint8_t> rootDir_;
    std::uint64_t rootDirOffset_ = 0;
    std::uint64_t rootDirBytes_ = 0;
    std::uint64_t fatStart_ = 0;
    bool twelveBit_ = false;
};

}  // namespace salvora
