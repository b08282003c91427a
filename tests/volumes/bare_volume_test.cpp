// Bare-volume detection on synthetic first sectors (FAT12/16/32, exFAT, ext, HFS+, and what must not pass),
// and the one entry it makes of an image file. Needs only temp files.
#include "volumes/bare_volume.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "io/file_read_seek.h"
#include "fixture_util.h"

namespace salvora {
namespace {

void Put16(std::vector<std::uint8_t>& b, std::size_t off, std::uint16_t v) {
    b[off] = static_cast<std::uint8_t>(v);
    b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& b, std::size_t off, std::uint32_t v) {
    Put16(b, off, static_cast<std::uint16_t>(v));
    Put16(b, off + 2, static_cast<std::uint16_t>(v >> 16));
}

struct Bpb {
    std::uint8_t jump = 0xEB;
    std::uint16_t bytesPerSector = 512;
    std::uint8_t sectorsPerCluster = 8;
    std::uint16_t reservedSectors = 32;
    std::uint8_t fatCount = 2;
    std::uint16_t rootEntries = 0;
    std::uint16_t total16 = 0;
    std::uint16_t sectorsPerFat16 = 0;
    std::uint32_t total32 = 81920;
    bool signature = true;
};

// The first kBareProbeBytes of a volume whose sector 0 carries `bpb`.
std::vector<std::uint8_t> FatHead(const Bpb& bpb) {
    std::vector<std::uint8_t> b(kBareProbeBytes, 0);
    b[0] = bpb.jump;
    b[1] = 0x58;
    b[2] = 0x90;
    std::memcpy(&b[3], "mkfs.fat", 8);
    Put16(b, 11, bpb.bytesPerSector);
    b[13] = bpb.sectorsPerCluster;
    Put16(b, 14, bpb.reservedSectors);
    b[16] = bpb.fatCount;
    Put16(b, 17, bpb.rootEntries);
    Put16(b, 19, bpb.total16);
    Put16(b, 22, bpb.sectorsPerFat16);
    Put32(b, 32, bpb.total32);
    if (bpb.signature) {
        b[510] = 0x55;
        b[511] = 0xAA;
    }
    return b;
}

Bpb Floppy1440() {  // what mkfs.fat makes of a 1.44 MB image
    return {.sectorsPerCluster = 1,
            .reservedSectors = 1,
            .rootEntries = 224,
            .total16 = 2880,
            .sectorsPerFat16 = 9};
}

TEST(BareVolume, FatTypesFollowSectorsPerFatAndClusterCount) {
    EXPECT_EQ(DetectBareVolume(FatHead({})), BareKind::Fat32);
    EXPECT_EQ(DetectBareVolume(FatHead(Floppy1440())), BareKind::Fat12);
    // 64 MiB with 2 KiB clusters: about 32,000 clusters.
    const Bpb fat16{.sectorsPerCluster = 4,
                    .reservedSectors = 4,
                    .rootEntries = 512,
                    .total16 = 0,
                    .sectorsPerFat16 = 128,
                    .total32 = 131072};
    EXPECT_EQ(DetectBareVolume(FatHead(fat16)), BareKind::Fat16);
    Bpb jumpE9 = Floppy1440();
    jumpE9.jump = 0xE9;
    EXPECT_EQ(DetectBareVolume(FatHead(jumpE9)), BareKind::Fat12);
    // A total too small to hold its own FATs is damaged, not FAT12.
    Bpb damaged = fat16;
    damaged.total32 = 10;
    EXPECT_EQ(DetectBareVolume(FatHead(damaged)), BareKind::Fat16);
    EXPECT_EQ(BareVolumeLabel(BareKind::Fat12), "FAT12");
    EXPECT_EQ(BareVolumeLabel(BareKind::Fat16), "FAT16");
    EXPECT_EQ(BareVolumeLabel(BareKind::Fat32), "FAT32");
}

TEST(BareVolume, EachBrokenBootSectorFieldRejectsFat) {
    const auto broken = [](auto change) {
        Bpb bpb;
        change(bpb);
        return DetectBareVolume(FatHead(bpb));
    };
    EXPECT_EQ(broken([](Bpb& b) { b.jump = 0x33; }), BareKind::None);  // MBR boot code
    EXPECT_EQ(broken([](Bpb& b) { b.bytesPerSector = 0; }), BareKind::None);
    EXPECT_EQ(broken([](Bpb& b) { b.bytesPerSector = 513; }), BareKind::None);
    EXPECT_EQ(broken([](Bpb& b) { b.sectorsPerCluster = 0; }), BareKind::None);
    EXPECT_EQ(broken([](Bpb& b) { b.sectorsPerCluster = 3; }), BareKind::None);
    EXPECT_EQ(broken([](Bpb& b) { b.reservedSectors = 0; }), BareKind::None);
    EXPECT_EQ(broken([](Bpb& b) { b.fatCount = 0; }), BareKind::None);
    EXPECT_EQ(broken([](Bpb& b) { b.fatCount = 5; }), BareKind::None);
    EXPECT_EQ(broken([](Bpb& b) { b.signature = false; }), BareKind::None);
    for (std::uint16_t bytes : {1024, 2048, 4096})
        EXPECT_EQ(broken([&](Bpb& b) { b.bytesPerSector = bytes; }), BareKind::Fat32) << bytes;
}

TEST(BareVolume, NtfsIsOneVolumeAndPartitionedDisksAreNotBare) {
    // NTFS keeps reserved sectors and FAT count at 0: not FAT, but a volume of its own, not a partition table.
    Bpb ntfs{.jump = 0xEB, .reservedSectors = 0, .fatCount = 0, .total32 = 0};
    std::vector<std::uint8_t> head = FatHead(ntfs);
    std::memcpy(&head[3], "NTFS    ", 8);
    EXPECT_EQ(DetectBareVolume(head), BareKind::Ntfs);
    EXPECT_EQ(BareVolumeLabel(BareKind::Ntfs), "NTFS");

    std::vector<std::uint8_t> mbr(kBareProbeBytes, 0);
    mbr[0] = 0x33;
    mbr[1] = 0xC0;
    mbr[446 + 4] = 0x0C;
    Put32(mbr, 446 + 8, 2048);
    Put32(mbr, 446 + 12, 20480);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    EXPECT_EQ(DetectBareVolume(mbr), BareKind::None);

    // A superfloppy: the FAT boot sector also carries a partition entry. Sector 0 decides.
    std::vector<std::uint8_t> superfloppy = FatHead({});
    std::memcpy(&superfloppy[446], &mbr[446], 16);
    EXPECT_EQ(DetectBareVolume(superfloppy), BareKind::Fat32);
}

TEST(BareVolume, ExfatExtAndHfsPlusHeaders) {
    std::vector<std::uint8_t> exfat(kBareProbeBytes, 0);
    exfat[0] = 0xEB;
    exfat[1] = 0x76;
    std::memcpy(&exfat[3], "EXFAT   ", 8);
    EXPECT_EQ(DetectBareVolume(exfat), BareKind::ExFat);
    EXPECT_EQ(BareVolumeLabel(BareKind::ExFat), "FAT64");
    std::memcpy(&exfat[3], "EXFAT  X", 8);
    EXPECT_EQ(DetectBareVolume(exfat), BareKind::None);

    std::vector<std::uint8_t> ext(kBareProbeBytes, 0);
    Put16(ext, 1024 + 56, 0xEF53);
    EXPECT_EQ(DetectBareVolume(ext), BareKind::Ext);
    EXPECT_EQ(BareVolumeLabel(BareKind::Ext), "extX");
    Put16(ext, 1024 + 56, 0x53EF);
    EXPECT_EQ(DetectBareVolume(ext), BareKind::None);

    for (const char* signature : {"H+", "HX"}) {
        std::vector<std::uint8_t> hfs(kBareProbeBytes, 0);
        std::memcpy(&hfs[1024], signature, 2);
        EXPECT_EQ(DetectBareVolume(hfs), BareKind::HfsPlus) << signature;
    }
    EXPECT_EQ(BareVolumeLabel(BareKind::HfsPlus), "HFS+");
    EXPECT_EQ(BareVolumeLabel(BareKind::None), "");
}

TEST(BareVolume, ShortBuffersNeverReadPastTheirEnd) {
    EXPECT_EQ(DetectBareVolume({}), BareKind::None);
    std::vector<std::uint8_t> sector0 = FatHead({});
    sector0.resize(512);
    EXPECT_EQ(DetectBareVolume(sector0), BareKind::Fat32);
    sector0.resize(511);  // the 0x55AA signature is cut off
    EXPECT_EQ(DetectBareVolume(sector0), BareKind::None);
    std::vector<std::uint8_t> ext(1024 + 57, 0);
    ext[1024 + 56] = 0x53;  // half of the magic
    EXPECT_EQ(DetectBareVolume(ext), BareKind::None);
}

std::filesystem::path WriteImage(const std::string& name, const std::vector<std::uint8_t>& head,
                                 std::uint64_t length) {
    const auto path = std::filesystem::temp_directory_path() / ("salvora-bare-" + name);
    return test::WriteBytes(path, std::span(head).first(std::min<std::size_t>(head.size(), length)), length);
}

TEST(BareVolume, ProbeMakesOneEntryFromTheWholeSource) {
    FileReadSeek reader;
    ASSERT_TRUE(reader.OpenSource(WriteImage("fat32", FatHead({}), 40ull << 20).string()));
    const std::optional<VolumeEntry> fat32 = ProbeBareVolume(reader);
    ASSERT_TRUE(fat32.has_value());
    EXPECT_EQ(fat32->fileSystemLabel, "FAT32");
    EXPECT_EQ(fat32->sizeText, "40  MB");
    EXPECT_EQ(fat32->startSector, 0u);
    EXPECT_EQ(fat32->volumeName, "0");
    EXPECT_EQ(fat32->sizeBytes, 40ull << 20);

    // A started MiB counts, so a 1.44 MB floppy image is not a volume of size 0.
    ASSERT_TRUE(reader.OpenSource(WriteImage("floppy", FatHead(Floppy1440()), 1474560).string()));
    const std::optional<VolumeEntry> floppy = ProbeBareVolume(reader);
    ASSERT_TRUE(floppy.has_value());
    EXPECT_EQ(floppy->fileSystemLabel, "FAT12");
    EXPECT_EQ(floppy->sizeText, "2  MB");

    // Shorter than the probe: the missing bytes are zeros, a FAT boot sector still counts.
    ASSERT_TRUE(reader.OpenSource(WriteImage("tiny", FatHead({}), 512).string()));
    EXPECT_TRUE(ProbeBareVolume(reader).has_value());

    ASSERT_TRUE(reader.OpenSource(WriteImage("zeros", {}, 1 << 20).string()));
    EXPECT_FALSE(ProbeBareVolume(reader).has_value());
}

}  // namespace
}  // namespace salvora
