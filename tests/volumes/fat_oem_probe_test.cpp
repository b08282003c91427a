// The partition scanner's FAT boot-sector test: volumes made by formatters other than the one that writes
// "MSDOS5.0" (mkfs.fat, mtools, cameras) are known by their structure. Needs nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "volumes/boot_sector_probe.h"

namespace salvora {
namespace {

std::vector<std::uint8_t> MkfsFatBoot(bool fat32) {
    std::vector<std::uint8_t> s(512, 0);
    s[0] = 0xEB;
    s[1] = fat32 ? 0x58 : 0x3C;
    s[2] = 0x90;
    std::memcpy(&s[3], "mkfs.fat", 8);
    s[11] = 0x00, s[12] = 0x02;  // 512 bytes per sector
    s[13] = fat32 ? 8 : 4;
    s[14] = fat32 ? 32 : 4;
    s[16] = 2;
    if (fat32) {
        s[36] = 0x00, s[37] = 0x04;                // 1024 sectors per FAT
        s[32] = 0x00, s[33] = 0x00, s[34] = 0x10;  // 1 Mi sectors
    } else {
        s[17] = 0x00, s[18] = 0x02;  // 512 root entries
        s[22] = 0x00, s[23] = 0x01;  // 256 sectors per FAT
        s[19] = 0x20, s[20] = 0x01;  // 288 sectors
    }
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

TEST(FatOemProbe, OtherFormattersAreKnownByStructure) {
    const auto fat32 = ProbeBootSector(MkfsFatBoot(true), kTableRules);
    EXPECT_EQ(fat32.kind, BootKind::Fat32);
    EXPECT_EQ(fat32.volumeSectors, 1u << 20);
    EXPECT_EQ(ProbeBootSector(MkfsFatBoot(true), kAdvanceRules).kind, BootKind::Fat32);
    const auto fat16 = ProbeBootSector(MkfsFatBoot(false), kTableRules);
    EXPECT_EQ(fat16.kind, BootKind::Fat16);
    EXPECT_EQ(fat16.volumeSectors, 288u);
}

TEST(FatOemProbe, WithoutTheStructureAnotherNameIsNoFat) {
    for (const std::size_t field : {510u, 13u, 14u, 16u}) {
        auto s = MkfsFatBoot(true);
        s[field] = field == 13 ? 3 : 0;  // no signature, 3 sectors per cluster, no reserved sectors, no FAT
        EXPECT_EQ(ProbeBootSector(s, kTableRules).kind, BootKind::None) << field;
    }
    auto noFatSize = MkfsFatBoot(true);
    noFatSize[37] = 0;
    EXPECT_EQ(ProbeBootSector(noFatSize, kAdvanceRules).kind, BootKind::None);
    // The MSDOS name is still taken on its own, as before.
    auto msdos = MkfsFatBoot(true);
    std::memcpy(&msdos[3], "MSDOS5.0", 8);
    msdos[510] = 0;
    EXPECT_EQ(ProbeBootSector(msdos, kTableRules).kind, BootKind::Fat32);
}

TEST(FatOemProbe, Fat16TablesOfAnyLengthAreKnownByClusterCount) {
    // Tables of exactly 200 or 256 sectors are one formatter's habit; mkfs.fat sizes them to the volume.
    auto s = MkfsFatBoot(false);
    s[22] = 52, s[23] = 0;
    s[19] = 0, s[20] = 0;
    s[32] = 0x00, s[33] = 0x20, s[34] = 0x03;  // 204,800 sectors
    const auto fat16 = ProbeBootSector(s, kAdvanceRules);
    EXPECT_EQ(fat16.kind, BootKind::Fat16);
    EXPECT_EQ(fat16.volumeSectors, 204800u);
    EXPECT_EQ(ProbeBootSector(s, kTableRules).kind, BootKind::Fat16);

    // A floppy-sized volume has too few clusters for FAT16: FAT12.
    s[32] = 0x40, s[33] = 0x0B, s[34] = 0x00;  // 2,880 sectors
    s[22] = 9;
    EXPECT_EQ(ProbeBootSector(s, kAdvanceRules).kind, BootKind::Fat12);
}

}  // namespace
}  // namespace salvora
