// The advance scan (boot sectors found anywhere on a source) on synthetic images of a few MiB written to temp
// files: skip, range, partial tail, stop and pause. Needs nothing but a writable temp directory.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "io/pause_gate.h"
#include "volumes/partition.h"
#include "volumes/partition_disk.h"

namespace salvora {
namespace {

using testing::RecordingUi;
using testing::SyntheticDisk;
using Statuses = std::vector<std::string>;
using Starts = std::vector<std::uint64_t>;

class AdvanceScan : public ::testing::Test {
  protected:
    std::uint32_t Scan(const SyntheticDisk& disk, std::size_t length = SIZE_MAX) {
        const auto name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        path_ = disk.Write(name, length);
        EXPECT_TRUE(reader_.OpenSource(path_.string()));
        volumes_.clear();
        scanner.statusWindow = &ui_;
        scanner.progressWindow = &ui_;
        scanner.volumeList = &volumes_;
        return scanner.ScanForBootSectors(reader_);
    }
    Starts StartSectors() const {
        Starts starts;
        for (const auto& v : volumes_) starts.push_back(v.startSector);
        return starts;
    }
    void TearDown() override { std::filesystem::remove(path_); }

    Partition scanner;
    RecordingUi ui_;
    FileReadSeek reader_;
    std::vector<VolumeEntry> volumes_;
    std::filesystem::path path_;
};

// NTFS of 4096 sectors (its count leaves out the backup boot sector in its last one), a FAT32 volume with its
// backup boot sector right behind it, and a second FAT32 volume adjacent to the first.
SyntheticDisk NtfsThenTwoFat32() {
    SyntheticDisk disk(24576);
    disk.Ntfs(2048, 4095);
    disk.Ntfs(2048 + 4095, 4095);
    disk.Fat(6144, 0, 0, 4096);
    disk.Fat(6144 + 6, 0, 0, 4096);
    disk.Fat(10240, 0, 0, 2048);
    return disk;
}

TEST_F(AdvanceScan, SkipFindsEachVolumeOnceAndStopsAtItsEndNotBeyond) {
    scanner.skipFoundVolumes = true;
    EXPECT_EQ(Scan(NtfsThenTwoFat32()), 0u);
    EXPECT_EQ(StartSectors(), (Starts{2048, 6144, 10240}));
    EXPECT_EQ(volumes_[0].fileSystemLabel, "NTFS");
    EXPECT_EQ(volumes_[0].sizeText, "1   MB");
    EXPECT_EQ(volumes_[1].fileSystemLabel, "FAT32");
    EXPECT_EQ(volumes_[1].sizeText, "2  MB");
    EXPECT_EQ(volumes_[2].volumeName, "2");
    EXPECT_EQ(ui_.Statuses(),
              (Statuses{"Scanning partition.....", "found NTFS 1...", "found FAT 32...", "found FAT 32..."}));
    EXPECT_EQ(ui_.Ranges(), (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 1000}}));
    ASSERT_FALSE(ui_.Positions().empty());
    EXPECT_EQ(ui_.Positions().back(), 1000);
}

TEST_F(AdvanceScan, WithoutSkipBackupBootSectorsAreFurtherVolumes) {
    std::vector<VolumeEntry> seen;
    scanner.onVolumeRecorded = [&](const VolumeEntry& v) { seen.push_back(v); };
    EXPECT_EQ(Scan(NtfsThenTwoFat32()), 0u);
    EXPECT_EQ(StartSectors(), (Starts{2048, 6143, 6144, 6150, 10240}));
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[1].fileSystemLabel, "NTFS");
    EXPECT_EQ(seen[1].startSector, 6143u);
}

TEST_F(AdvanceScan, SkipAcrossChunksNeitherRescansNorOvershoots) {
    SyntheticDisk disk(12288);
    disk.Fat(100, 0, 0, 5000);          // reaches into the third chunk
    disk.Fat(3000, 0, 0, 2048);         // inside the first volume
    disk.Fat(5100, 0, 0, 2048);         // right behind it
    disk.Fat(8000, 0, 0, 0xFFFFFFFFu);  // claims far more than the source
    disk.Fat(9000, 0, 0, 2048);
    scanner.skipFoundVolumes = true;
    EXPECT_EQ(Scan(disk), 0u);
    EXPECT_EQ(StartSectors(), (Starts{100, 5100, 8000}));
    EXPECT_EQ(ui_.Positions().back(), 1000);

    scanner.skipFoundVolumes = false;
    EXPECT_EQ(Scan(disk), 0u);
    EXPECT_EQ(StartSectors(), (Starts{100, 3000, 5100, 8000, 9000}));
}

TEST_F(AdvanceScan, RangeBoundsTheScanByChunk) {
    SyntheticDisk disk(8192);
    disk.Fat(100, 0, 0, 2048);
    disk.Fat(2100, 0, 0, 2048);
    disk.Fat(5000, 0, 0, 2048);
    scanner.rangeStartSector = 8192;
    EXPECT_EQ(Scan(disk), 0u);
    EXPECT_TRUE(volumes_.empty());
    EXPECT_EQ(ui_.Statuses(), Statuses{"Scanning partition....."});
    EXPECT_TRUE(ui_.Positions().empty());

    scanner.rangeStartSector = 2000;
    EXPECT_EQ(Scan(disk), 0u);
    EXPECT_EQ(StartSectors(), (Starts{2100, 5000}));

    scanner.rangeStartSector = 0;
    scanner.rangeEndSector = 1000;
    EXPECT_EQ(Scan(disk), 0u);
    ASSERT_FALSE(volumes_.empty());
    EXPECT_EQ(volumes_.front().startSector, 100u);
    EXPECT_EQ(volumes_.back().startSector, 100u);
}

TEST_F(AdvanceScan, PartialLastChunkAndSectorAreScannedAsFarAsTheyGo) {
    SyntheticDisk disk(4102);
    disk.Fat(0, 0, 0, 2048);
    disk.Fat(4096 + 3, 0, 0, 2048);  // in the last, partial MiB
    disk.Fat(4101, 0, 0, 2048);      // in a partial sector: not a whole sector, not tested
    EXPECT_EQ(Scan(disk, 4101 * 512 + 100), 0u);
    EXPECT_EQ(StartSectors(), (Starts{0, 4099}));
    EXPECT_EQ(ui_.Positions().back(), 1000);

    EXPECT_EQ(Scan(disk, 1000), 0u);  // one whole sector
    EXPECT_EQ(StartSectors(), (Starts{0}));
}

TEST_F(AdvanceScan, SignaturesAndLimitsOfEachKind) {
    SyntheticDisk disk(4096);
    disk.PutText(10, 0, "VBLK");
    disk.Fat(20, 128, 4096, 0);  // 128 sectors per FAT counts as FAT16 here
    disk.Fat(30, 100, 4096, 0);  // unknown: status only
    disk.Fat(40, 200, 0, 8192);  // 16-bit total 0: the 32-bit one counts
    disk.Exfat(50, 1u << 21);
    disk.Ntfs(60, 4096, "MSWIN4.1");  // NTFS jump without the NTFS name
    disk.Ntfs(70, 2047);              // under 1 MiB: nothing
    disk.Hfs(0, 4096, 512);           // header in sector 2 of a volume at 0
    disk.Hfs(500, 4096, 512);
    disk.Hfs(1000, 4096, 1024, 'X');
    disk.Hfs(1500, 0x10000, 0xFFFFFFFFu);  // above 20,971,519 MiB
    disk.Hfs(2000, 512, 1024);             // under 1 MiB
    disk.At(3001)[0] = 'H';                // a header in sector 1 would start at sector -1
    disk.At(3001)[1] = '+';
    EXPECT_EQ(Scan(disk), 0u);
    std::vector<std::tuple<std::string, std::string, std::uint64_t>> rows;
    for (const auto& v : volumes_) rows.emplace_back(v.fileSystemLabel, v.sizeText, v.startSector);
    EXPECT_EQ(rows,
              (std::vector<std::tuple<std::string, std::string, std::uint64_t>>{{"HFS+", "2  MB", 0},
                                                                                {"FAT16", "2  MB", 20},
                                                                                {"FAT16", "4  MB", 40},
                                                                                {"FAT64", "1024  MB", 50},
                                                                                {"HFS+", "2  MB", 500},
                                                                                {"HFS+", "4  MB", 1000}}));
    EXPECT_EQ(ui_.Statuses(),
              (Statuses{"Scanning partition.....", "found HFS+...", "found FAT 16...", "found unknown...",
                        "found FAT 16...", "found FAT 64...", "found HFS+...", "found HFS+..."}));
}

TEST_F(AdvanceScan, StopAfterARecordKeepsWhatWasFound) {
    scanner.onVolumeRecorded = [&](const VolumeEntry&) { scanner.stopRequested = true; };
    EXPECT_EQ(Scan(NtfsThenTwoFat32()), 0u);
    EXPECT_EQ(StartSectors(), (Starts{2048}));
}

TEST_F(AdvanceScan, StopWinsOverPause) {
    SyntheticDisk disk(4096);
    disk.Fat(100, 0, 0, 2048);
    ThePauseGate().Pause();
    std::uint32_t code = 99;
    std::thread worker([&] { code = Scan(disk); });
    // The worker is held at its first poll point once it has shown its first status.
    for (int i = 0; i < 500 && ui_.Statuses().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    scanner.stopRequested = true;
    worker.join();
    ThePauseGate().Reset();
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(volumes_.empty());
    EXPECT_EQ(ui_.Statuses(), (Statuses{"Scanning partition.....", "Scanned Partitions"}));
}

}  // namespace
}  // namespace salvora
