// Drive and volume enumeration over a fake /sys/block, /dev and mounts table built in a temp dir, with a fake
// file-system prober; plus the label table, mount-table parsing and name ordering. Needs no root and no
// devices.
#include "volumes/drives.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "volumes/mounts.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

class DriveEnumeration : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("salvora-drives-" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(root_);
        sys_ = root_ / "sys" / "block";
        dev_ = root_ / "dev";
        fs::create_directories(sys_);
        fs::create_directories(dev_);
    }
    void TearDown() override { fs::remove_all(root_); }

    // A block device: its sysfs size in 512-byte sectors, and a readable /dev node unless `readable` is
    // false.
    void Device(const std::string& name, std::uint64_t sectors, bool readable = true) {
        WriteFile(sys_ / name / "size", std::to_string(sectors) + "\n");
        if (readable) WriteFile(dev_ / name, "");
    }
    void PartitionOf(const std::string& disk, const std::string& name, int number, std::uint64_t sectors) {
        WriteFile(sys_ / disk / name / "partition", std::to_string(number) + "\n");
        WriteFile(sys_ / disk / name / "size", std::to_string(sectors) + "\n");
        WriteFile(dev_ / name, "");
    }
    std::string Dev(const std::string& name) const { return (dev_ / name).string(); }

    DriveListing Enumerate(std::map<std::string, FsProbe> fileSystems, const std::string& mounts = "") {
        WriteFile(root_ / "mounts", mounts);
        DriveEnumerationSetup setup;
        setup.sysBlockDir = sys_.string();
        setup.devDir = dev_.string();
        setup.mountsPath = (root_ / "mounts").string();
        setup.probe = [fileSystems](const std::string& path) -> std::optional<FsProbe> {
            auto it = fileSystems.find(path);
            if (it == fileSystems.end()) return std::nullopt;
            return it->second;
        };
        return EnumerateDrives(setup);
    }

    fs::path root_, sys_, dev_;
};

TEST_F(DriveEnumeration, ListsDisksAndBackedLoopsInNameOrder) {
    Device("sda", 2048000);
    WriteFile(sys_ / "sda" / "device" / "vendor", "ATA     \n");
    WriteFile(sys_ / "sda" / "device" / "model", "Fake Disk 1     \n");
    PartitionOf("sda", "sda1", 1, 204800);
    Device("loop0", 81920);
    WriteFile(sys_ / "loop0" / "loop" / "backing_file", "/images/stick.img\n");
    Device("loop10", 4096);
    WriteFile(sys_ / "loop10" / "loop" / "backing_file", "/images/other.img\n");
    Device("loop1", 0);  // no backing file: empty
    fs::create_directories(sys_ / "loop1" / "loop");
    Device("ram0", 8192);
    Device("zram0", 8192);
    Device("vdb", 1024);
    WriteFile(sys_ / "vdb" / "device" / "vendor", "0x1af4\n");  // a vendor number alone is no model

    const DriveListing listing = Enumerate({});
    ASSERT_EQ(listing.drives.size(), 4u);
    EXPECT_EQ(listing.drives[0].devicePath, Dev("loop0"));
    EXPECT_EQ(listing.drives[0].backingFile, "/images/stick.img");
    EXPECT_EQ(listing.drives[1].devicePath, Dev("loop10"));
    EXPECT_EQ(listing.drives[2].devicePath, Dev("sda"));
    EXPECT_EQ(listing.drives[2].modelText, "ATA Fake Disk 1");
    EXPECT_EQ(listing.drives[2].ItemText(), "ATA Fake Disk 1");
    EXPECT_EQ(listing.drives[2].sizeBytes, 2048000ull * 512);
    EXPECT_EQ(listing.drives[3].ItemText(), Dev("vdb"));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(listing.drives[i].number, i);
    EXPECT_TRUE(listing.volumes.empty());
    EXPECT_TRUE(listing.unreadable.empty());
}

TEST_F(DriveEnumeration, VolumesCarryLabelMountPointAndSize) {
    Device("sda", 2048000);
    PartitionOf("sda", "sda2", 2, 409600);
    PartitionOf("sda", "sda1", 1, 204800);
    PartitionOf("sda", "sda3", 3, 2048);  // no file system: not a volume
    Device("loop0", 81920);
    WriteFile(sys_ / "loop0" / "loop" / "backing_file", "/images/stick.img\n");

    const std::string mounts = "sysfs /sys sysfs rw 0 0\n" + Dev("sda1") +
                               " /media/my\\040stick vfat rw 0 0\n" + Dev("sda1") +
                               " /second/mount vfat rw 0 0\n";
    const DriveListing listing = Enumerate(
        {{Dev("loop0"), {"exfat", "1.0"}}, {Dev("sda1"), {"vfat", "FAT32"}}, {Dev("sda2"), {"ext4", "1.0"}}},
        mounts);
    ASSERT_EQ(listing.volumes.size(), 3u);
    // Enumeration order: disk by disk, partitions by number. The listing shows them from the last.
    const VolumeEntry& loop = listing.volumes[0];
    EXPECT_EQ(loop.fileSystemLabel, "exFAT");
    EXPECT_EQ(loop.displayName, Dev("loop0"));
    EXPECT_EQ(loop.volumeName, Dev("loop0"));
    EXPECT_EQ(loop.sizeText, "40  MB");
    EXPECT_EQ(loop.startSector, 0u);
    const VolumeEntry& fat = listing.volumes[1];
    EXPECT_EQ(fat.fileSystemLabel, "FAT32");
    EXPECT_EQ(fat.displayName, "/media/my stick");
    EXPECT_EQ(fat.volumeName, Dev("sda1"));
    EXPECT_EQ(fat.sizeText, "100  MB");
    EXPECT_EQ(listing.volumes[2].fileSystemLabel, "ext4");
    EXPECT_EQ(listing.volumes[2].displayName, Dev("sda2"));
    EXPECT_EQ(listing.volumes[2].sizeText, "200  MB");
}

TEST_F(DriveEnumeration, UnreadableDevicesAreSkippedAndReported) {
    Device("sda", 2048);
    Device("sdb", 2048, /*readable=*/false);
    Device("sdc", 2048);
    PartitionOf("sdc", "sdc1", 1, 2048);
    fs::remove(dev_ / "sdc1");
    const DriveListing listing = Enumerate({{Dev("sdc1"), {"vfat", "FAT16"}}});
    ASSERT_EQ(listing.drives.size(), 2u);
    EXPECT_EQ(listing.drives[1].devicePath, Dev("sdc"));
    EXPECT_EQ(listing.drives[1].number, 1);  // numbers stay contiguous: a position in the list
    EXPECT_TRUE(listing.volumes.empty());
    EXPECT_EQ(listing.unreadable, (std::vector<std::string>{Dev("sdb"), Dev("sdc1")}));
}

TEST(DriveLabels, BlkidTypesMapToShownAndPipelineLabels) {
    struct Case {
        const char* type;
        const char* version;
        const char* shown;
        const char* pipeline;
    };
    for (const Case& c : {Case{"vfat", "FAT12", "FAT12", "FAT12"}, Case{"vfat", "FAT16", "FAT16", "FAT16"},
                          Case{"vfat", "FAT32", "FAT32", "FAT32"}, Case{"exfat", "1.0", "exFAT", "FAT64"},
                          Case{"ext2", "1.0", "ext2", "extX"}, Case{"ext3", "1.0", "ext3", "extX"},
                          Case{"ext4", "1.0", "ext4", "extX"}, Case{"hfsplus", "", "HFS+", "HFS+"},
                          Case{"ntfs", "", "NTFS", "NTFS"}, Case{"btrfs", "", "btrfs", "Unknown"}}) {
        const FsLabels labels = LabelsFromBlkid(c.type, c.version);
        EXPECT_EQ(labels.shown, c.shown) << c.type << " " << c.version;
        EXPECT_EQ(labels.pipeline, c.pipeline) << c.type << " " << c.version;
        if (labels.pipeline != "Unknown") {
            EXPECT_EQ(PipelineLabel(labels.shown), c.pipeline);
        }
    }
}

TEST(DriveLabels, MountTableParsing) {
    const auto mounts = ParseMounts(
        "/dev/sda1 /mnt/a\\040b\\011c vfat rw 0 0\n"
        "\n"
        "garbage\n"
        "/dev/sda1 /later ext4 rw 0 0\n"
        "/dev/sdb1 /back\\\\slash ext4 rw 0 0\n"
        "/dev/sdc1 /cut\\04 ext4 rw 0 0");
    EXPECT_EQ(mounts.at("/dev/sda1"), "/mnt/a b\tc");
    EXPECT_EQ(mounts.at("/dev/sdb1"), "/back\\\\slash");
    EXPECT_EQ(mounts.at("/dev/sdc1"), "/cut\\04");
    EXPECT_EQ(mounts.count("garbage"), 0u);
    EXPECT_TRUE(ReadMounts("/nonexistent/salvora/mounts").empty());
}

TEST(DriveLabels, NaturalOrderOfKernelNames) {
    EXPECT_TRUE(NaturalLess("loop2", "loop10"));
    EXPECT_FALSE(NaturalLess("loop10", "loop2"));
    EXPECT_TRUE(NaturalLess("sda", "sdb"));
    EXPECT_TRUE(NaturalLess("sda", "sda1"));
    EXPECT_TRUE(NaturalLess("nvme0n1", "nvme1n1"));
    EXPECT_TRUE(NaturalLess("nvme0n1p2", "nvme0n1p10"));
    EXPECT_FALSE(NaturalLess("sda", "sda"));
}

}  // namespace
}  // namespace salvora
