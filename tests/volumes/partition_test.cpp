// The standard scan of the partition scanner (MBR, EBR chain, GPT) on synthetic disks written to temp files.
// Needs nothing but a writable temp directory.
#include "volumes/partition.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "volumes/partition_disk.h"

namespace salvora {
namespace {

using testing::RecordingUi;
using testing::SyntheticDisk;
using Statuses = std::vector<std::string>;

struct Row {
    std::string label;
    std::string size;
    std::uint64_t start;
    bool operator==(const Row&) const = default;
};

void PrintTo(const Row& r, std::ostream* os) {
    *os << "{" << r.label << ", '" << r.size << "', " << r.start << "}";
}

class PartitionTables : public ::testing::Test {
  protected:
    std::uint32_t Scan(const SyntheticDisk& disk, bool useGpt = false, std::size_t length = SIZE_MAX) {
        const auto name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        path_ = disk.Write(name, length);
        EXPECT_TRUE(reader_.OpenSource(path_.string()));
        Partition scanner;
        scanner.statusWindow = &ui_;
        scanner.volumeList = &volumes_;
        scanner.useGpt = useGpt;
        return scanner.ScanPartitionTables(reader_);
    }
    std::vector<Row> Rows() const {
        std::vector<Row> rows;
        for (const auto& v : volumes_) rows.push_back({v.fileSystemLabel, v.sizeText, v.startSector});
        return rows;
    }
    void TearDown() override { std::filesystem::remove(path_); }

    RecordingUi ui_;
    FileReadSeek reader_;
    std::vector<VolumeEntry> volumes_;
    std::filesystem::path path_;
};

TEST_F(PartitionTables, MbrWalkEndsAtFirstEmptySlot) {
    SyntheticDisk disk(64);
    disk.SetLength(2048 + 204800);
    disk.Slot(0, 0, 0x0C, 2048, 204800);
    disk.Slot(0, 2, 0x83, 400000, 2048);
    EXPECT_EQ(Scan(disk), 0u);
    EXPECT_EQ(Rows(), (std::vector<Row>{{"FAT32", "100   MB", 2048}}));
    EXPECT_EQ(volumes_[0].volumeName, "0");
    EXPECT_EQ(ui_.Statuses(), Statuses{"found FAT 32..."});
}

TEST_F(PartitionTables, ExtendedSlotStartsEbrChainWithRelativeOffsets) {
    SyntheticDisk disk(40000);
    disk.Slot(0, 0, 0x06, 63, 4096);
    disk.Slot(0, 1, 0x83, 5000, 3 * 2048);
    disk.Slot(0, 2, 0x0F, 10000, 30000);
    disk.Slot(0, 3, 0x0C, 1, 2048);  // behind the extended slot: never examined
    disk.Slot(10000, 0, 0x0B, 63, 5 * 2048);
    disk.Slot(10000, 1, 0x05, 20000, 10000);
    disk.Slot(30000, 0, 0x42, 2048, 2048);
    disk.Slot(30000, 1, 0x07, 4096, 4096);
    disk.Slot(30000, 2, 0x83, 8192, 0);
    disk.Slot(30000, 3, 0x01, 9000, 2047);
    disk.Exfat(10000 + 20000 + 4096, 4096);  // the 0x07 logical partition's absolute start
    EXPECT_EQ(Scan(disk), 0u);
    EXPECT_EQ(Rows(), (std::vector<Row>{{"FAT16", "2   MB", 63},
                                        {"extX", "3   MB", 5000},
                                        {"FAT32", "5   MB", 10063},
                                        {"Unknown", "1   MB", 32048},
                                        {"FAT64", "2   MB", 34096},
                                        {"extX", "0   MB", 38192},
                                        {"FAT12", "0   MB", 39000}}));
    EXPECT_EQ(ui_.Statuses(), (Statuses{"found FAT 16...", "found ext2...", "found FAT 32...",
                                        "found UNKNOWN...", "found FAT64...", "found extx..."}));
}

TEST_F(PartitionTables, EbrChainReadsAtMostFiftyEbrs) {
    SyntheticDisk disk(400);
    disk.Slot(0, 0, 0x05, 100, 300);
    for (std::uint32_t k = 0; k < 60; ++k) {
        disk.Slot(100 + 4 * k, 0, 0x83, 1, 2048);
        disk.Slot(100 + 4 * k, 1, 0x05, 4 * (k + 1), 4);
    }
    EXPECT_EQ(Scan(disk), 0u);
    ASSERT_EQ(volumes_.size(), 50u);
    EXPECT_EQ(volumes_.back().startSector, 100u + 4 * 49 + 1);
}

TEST_F(PartitionTables, EbrLoopsEndWithoutRepeatingPartitions) {
    SyntheticDisk disk(200);
    disk.Slot(0, 0, 0x0F, 100, 50);
    disk.Slot(100, 0, 0x0C, 1, 2048);
    disk.Slot(100, 1, 0x05, 0, 50);  // points to itself
    EXPECT_EQ(Scan(disk), 0u);
    EXPECT_EQ(Rows(), (std::vector<Row>{{"FAT32", "1   MB", 101}}));

    volumes_.clear();
    disk.Slot(100, 1, 0x05, 8, 50);  // A -> B -> A
    disk.Slot(108, 0, 0x0B, 2, 4096);
    disk.Slot(108, 1, 0x05, 0, 50);
    EXPECT_EQ(Scan(disk), 0u);
    EXPECT_EQ(Rows(), (std::vector<Row>{{"FAT32", "1   MB", 101}, {"FAT32", "2   MB", 110}}));
}

TEST_F(PartitionTables, Type07IsExfatOnlyWithExfatBootSectorAndSlotsBeyondTheSourceAreLeftOut) {
    SyntheticDisk disk(400);
    disk.Slot(0, 0, 0x07, 100, 2048);
    disk.Exfat(100, 2048);
    disk.Slot(0, 1, 0x07, 200, 4096);
    disk.Ntfs(200, 4096);
    disk.Slot(0, 2, 0x07, 0xFFFFFF00u, 0xFFFFFFFFu);  // far beyond the end of the source
    disk.Slot(0, 3, 0x42, 300, 2048);
    EXPECT_EQ(Scan(disk), 0u);
    EXPECT_EQ(Rows(),
              (std::vector<Row>{{"FAT64", "1   MB", 100}, {"NTFS", "2   MB", 200}, {"NTFS", "1   MB", 300}}));
    EXPECT_EQ(ui_.Statuses(), (Statuses{"found FAT64...", "found NTFS 1...", "NTFS..."}));

    // Without the signature (or with a boot flag no tool writes) the sector holds no table at all.
    volumes_.clear();
    disk.At(0)[511] = 0;
    EXPECT_EQ(Scan(disk), 0u);
    EXPECT_TRUE(Rows().empty());
    disk.At(0)[511] = 0xAA;
    disk.At(0)[446 + 16] = 0x3C;
    EXPECT_EQ(Scan(disk), 0u);
    EXPECT_TRUE(Rows().empty());
}

TEST_F(PartitionTables, ExtendedPartitionBeyondTheSourceKeepsPrimariesAndReportsTheRead) {
    SyntheticDisk disk(16);
    disk.SetLength(4096);
    disk.Slot(0, 0, 0x0C, 2048, 2048);
    disk.Slot(0, 1, 0x05, 0xFFFFFFF0u, 100);
    EXPECT_EQ(Scan(disk), static_cast<std::uint32_t>(EIO));
    EXPECT_EQ(Rows(), (std::vector<Row>{{"FAT32", "1   MB", 2048}}));
}

TEST_F(PartitionTables, UnreadableSourceReportsTheRead) {
    SyntheticDisk disk(1);
    EXPECT_NE(Scan(disk, false, 0), 0u);
    EXPECT_TRUE(volumes_.empty());
}

constexpr std::uint32_t kReservedGuid = 0xE3C9E316;
constexpr std::uint32_t kDataGuid = 0xEBD0A0A2;

TEST_F(PartitionTables, GptWalkLabelsByBootSectorThenByName) {
    SyntheticDisk disk(20000);
    disk.Slot(0, 0, 0xEE, 1, 19999);  // protective MBR
    disk.GptHeader(2);
    disk.GptEntry(2, 0, kReservedGuid, 34, 2047, u"Microsoft reserved partition");
    disk.GptEntry(2, 1, kDataGuid, 2048, 2048 + 204800 - 1, u"Basic data partition");
    disk.Ntfs(2048, 204800);
    disk.GptEntry(2, 2, kDataGuid, 6000, 6000 + 3 * 2048 - 1, u"Donn\u00e9es \u2603 \xD834\xDD1E");
    disk.GptEntry(2, 3, kDataGuid, 14000, 18095, u"x");
    disk.Exfat(14000, 4096);
    disk.GptEntry(2, 4, kDataGuid, 15000, 17047, u"y");
    disk.Fat(15000, 128, 4096, 0);  // 128 sectors per FAT: only the advance scan calls that FAT16
    disk.GptEntry(2, 5, kDataGuid, 16000, 16000 + 2047, u"mac");
    disk.Hfs(16000, 4096, 256);
    disk.GptEntry(2, 6, kDataGuid, 17000, 19047, u"z");
    disk.Fat(17000, 200, 4096, 0);
    disk.GptEntry(2, 7, 0x11111130, 18000, 18100, u"after a 0x30 GUID byte");
    disk.GptEntry(2, 8, kDataGuid, 18500, 18600, u"never collected");
    EXPECT_EQ(Scan(disk, true), 0u);
    EXPECT_EQ(Rows(), (std::vector<Row>{{"NTFS", "100   MB", 2048},
                                        {"Donn\xC3\xA9"
                                         "es \xE2\x98\x83 \xF0\x9D\x84\x9E",
                                         "3", 6000},
                                        {"FAT64", "2  MB", 14000},
                                        {"HFS+", "1  MB", 16000},
                                        {"FAT16", "2  MB", 17000}}));
    EXPECT_EQ(ui_.Statuses(),
              (Statuses{"found NTFS 1...", "found FAT 64...", "found unknown...", "found FAT 16..."}));

    // Without useGpt the same disk is an MBR with one protective slot.
    volumes_.clear();
    EXPECT_EQ(Scan(disk, false), 0u);
    EXPECT_EQ(Rows(), (std::vector<Row>{{"Unknown", "9   MB", 1}}));
}

TEST_F(PartitionTables, GptCollectsAtMostSeventyTwoEntries) {
    SyntheticDisk disk(200);
    disk.GptHeader(2);
    for (int i = 0; i < 80; ++i) disk.GptEntry(2, i, kDataGuid, 100 + i, 100 + i + 4095, u"p");
    EXPECT_EQ(Scan(disk, true), 0u);
    ASSERT_EQ(volumes_.size(), 72u);
    EXPECT_EQ(Rows().back(), (Row{"p", "2", 171}));
}

TEST_F(PartitionTables, GptEntryBeyondTheSourceEndsTheWalkButReservedOnesAreSkippedFirst) {
    SyntheticDisk disk(200);
    disk.GptHeader(2);
    disk.GptEntry(2, 0, kReservedGuid, 5'000'000, 5'000'100, u"Microsoft reserved partition");
    disk.GptEntry(2, 1, kDataGuid, 100, 99, u"last before first");
    disk.GptEntry(2, 2, kDataGuid, 1'000'000, 1'002'047, u"gone");
    disk.GptEntry(2, 3, kDataGuid, 150, 160, u"after");
    EXPECT_EQ(Scan(disk, true), static_cast<std::uint32_t>(EIO));
    EXPECT_EQ(Rows(), (std::vector<Row>{{"last before first", "0", 100}}));
}

TEST_F(PartitionTables, GptEntryArrayBeyondTheSourceReadsNothing) {
    SyntheticDisk disk(200);
    disk.GptHeader(1'000'000);
    EXPECT_EQ(Scan(disk, true), static_cast<std::uint32_t>(EIO));
    disk.GptHeader(0x4000000000000000ull);  // byte offset would overflow
    EXPECT_EQ(Scan(disk, true), static_cast<std::uint32_t>(EIO));
    EXPECT_TRUE(volumes_.empty());
}

TEST_F(PartitionTables, GptEntryArrayCutByTheSourceEndStillGivesItsEntries) {
    SyntheticDisk disk(8);
    disk.GptHeader(6);
    disk.GptEntry(6, 0, kDataGuid, 3, 4, u"cut");
    EXPECT_EQ(Scan(disk, true), 0u);
    EXPECT_EQ(Rows(), (std::vector<Row>{{"cut", "0", 3}}));
}

TEST_F(PartitionTables, UseGptOnMbrDiskTakesEntriesFromSectorZero) {
    SyntheticDisk disk(4096);
    disk.Slot(0, 0, 0x0C, 2048, 2048);
    EXPECT_EQ(Scan(disk, true), 0u);
    EXPECT_TRUE(volumes_.empty());

    // Boot code that happens to look like an entry is taken as one.
    disk.Put64(0, 32, 2048);
    disk.Put64(0, 40, 4095);
    disk.Put16(0, 56, 'Q');
    EXPECT_EQ(Scan(disk, true), 0u);
    EXPECT_EQ(Rows(), (std::vector<Row>{{"Q", "1", 2048}}));
}

TEST_F(PartitionTables, SectorProbesFailQuietlyBeyondTheSource) {
    SyntheticDisk disk(8);
    disk.Exfat(0, 4096);
    disk.Hfs(0, 4096, 256);
    Scan(disk);
    Partition scanner;
    EXPECT_TRUE(scanner.IsExfatBootSector(reader_, 0));
    EXPECT_TRUE(scanner.IsHfsPlusHeader(reader_, 0));
    EXPECT_FALSE(scanner.IsExfatBootSector(reader_, 8));
    EXPECT_FALSE(scanner.IsHfsPlusHeader(reader_, 7));
    EXPECT_FALSE(scanner.IsHfsPlusHeader(reader_, UINT64_MAX));
    EXPECT_FALSE(scanner.IsExfatBootSector(reader_, UINT64_MAX));
}

}  // namespace
}  // namespace salvora
