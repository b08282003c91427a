// FAT volumes made by mkfs.fat and mtools, then changed the way Windows and worn cards change them, read by
// salvora-cli and compared with The Sleuth Kit: a folder deleted with only its own entry marked and its
// clusters freed, a deleted folder whose cluster a live one took over, a leftover slot of garbage, FAT12, a bare
// NTFS volume, a sector 0 that holds no table, and a boot sector that claims more than the image holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "cli/tsk_compare.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::Quote;

class FatRealImages : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"mkfs.fat", "mcopy", "fls", "icat"})
            if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is missing (packages dosfstools, mtools, sleuthkit)";
        dir_ = fs::temp_directory_path() / ("salvora-fat-real-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Run(const std::string& command) { ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command; }
    std::string Bytes(std::size_t n, int seed) {
        std::string s(n, '\0');
        for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 17 + i / 7) & 0xFF);
        return s;
    }
    fs::path Write(const std::string& name, const std::string& bytes) {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
        return dir_ / name;
    }

    fs::path dir_;
};

struct Image {
    std::string bytes;
    std::uint16_t U16(std::size_t at) const {
        return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8);
    }
    void Put16(std::size_t at, std::uint16_t v) {
        bytes[at] = static_cast<char>(v & 0xFF);
        bytes[at + 1] = static_cast<char>(v >> 8);
    }
    // The 32-byte slot of an 11-character short name in a fixed root area.
    std::size_t Slot(std::size_t root, std::size_t entries, const std::string& name) const {
        for (std::size_t i = 0; i < entries; ++i)
            if (bytes.compare(root + 32 * i, 11, name) == 0) return root + 32 * i;
        return std::string::npos;
    }
    void FreeFat12(std::size_t fat, std::uint32_t cluster) {
        const std::size_t at = fat + cluster * 3 / 2;
        const std::uint16_t v = U16(at);
        Put16(at, (cluster & 1) ? (v & 0x000F) : (v & 0xF000));
    }
};

TEST_F(FatRealImages, WindowsStyleDeletedFolderGarbageSlotAndRenamedFolderMatchTheSleuthKit) {
    const fs::path img = dir_ / "floppy.img";
    const std::string a = Bytes(1715, 1), b = Bytes(5000, 2);
    Write("a.bin", a);
    Write("b.bin", b);
    const std::string i = " -i " + Quote(img.string()) + " ";
    Run("truncate -s 1440K " + Quote(img.string()) + " && mkfs.fat -F 12 -n FLOPPY " + Quote(img.string()));
    Run("mmd" + i + "::/DIR1 ::/DIR1/SUB");
    Run("mcopy" + i + Quote((dir_ / "a.bin").string()) + " ::/DIR1/A.BIN");
    Run("mcopy" + i + Quote((dir_ / "b.bin").string()) + " ::/DIR1/SUB/LONGNAME_B.bin");
    Run("mcopy" + i + Quote((dir_ / "a.bin").string()) + " ::/TOP.BIN");
    // mren leaves the old entry behind, deleted, naming the cluster the renamed folder keeps.
    Run("mmd" + i + "'::/New Folder' && mren" + i + "'::/New Folder' ::/DIR2");
    Run("mcopy" + i + Quote((dir_ / "a.bin").string()) + " ::/DIR2/IN2.BIN");

    // Deleting DIR1 the Windows way: its own slot marked, every cluster below it freed in both FATs, the
    // entries inside left as they were.
    Image image{test::ReadAll(img)};
    constexpr std::size_t kRoot = 19 * 512, kFat1 = 512, kFat2 = 10 * 512;
    const std::size_t dir1 = image.Slot(kRoot, 224, "DIR1       ");
    const std::size_t top = image.Slot(kRoot, 224, "TOP     BIN");
    ASSERT_NE(dir1, std::string::npos);
    ASSERT_NE(top, std::string::npos);
    image.bytes[dir1] = static_cast<char>(0xE5);
    for (std::uint32_t c = image.U16(dir1 + 26); c < image.U16(top + 26); ++c) {
        image.FreeFat12(kFat1, c);
        image.FreeFat12(kFat2, c);
    }
    // A leftover long-name slot with attribute 0: NULs in its name, size 4294967295, date 15/31/2107.
    const std::size_t free = image.Slot(kRoot, 224, std::string(11, '\0'));
    const unsigned char garbage[32] = {0xE5, 'f', 0, 'i', 0, 'l', 0, 'e', 0, '1', 0, 0,    0, 0, 0, 0,
                                       0,    0,   0, 0,   0, 0,   0, 0,   0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    image.bytes.replace(free, 32, reinterpret_cast<const char*>(garbage), 32);
    { std::ofstream(img, std::ios::binary) << image.bytes; }

    const test::CliRun volumes = Cli("volumes " + Quote(img.string()));
    EXPECT_EQ(volumes.exitCode, 0) << volumes.err;
    EXPECT_NE(volumes.out.find("FAT12"), std::string::npos) << volumes.out;

    const test::CliRun list = Cli("list " + Quote(img.string()) + " --json");
    ASSERT_EQ(list.exitCode, 0) << list.err;
    const auto ours = test::ListedEntries(list.out);
    const auto tsk = test::ParseFlsLong(test::Shell("fls -r -p -l " + Quote(img.string())));
    ASSERT_EQ(ours.size(), tsk.size()) << list.out;
    for (const auto& e : tsk) {
        const auto it = std::find_if(ours.begin(), ours.end(), [&](const test::ListedEntry& o) {
            return e.deleted ? test::MaskedPath(o.path) == test::MaskedPath(e.path) : o.path == e.path;
        });
        ASSERT_NE(it, ours.end()) << e.path;
        EXPECT_EQ(it->kind, e.kind) << e.path;
        EXPECT_EQ(it->deleted, e.deleted) << e.path;
        if (e.kind == "file") {
            EXPECT_EQ(it->size, *e.size) << e.path;
        }
    }

    // Everything comes back whole: the deleted folder's files from their first clusters on, as icat reads them.
    const test::CliRun recover = Cli("--yes recover " + Quote(img.string()) + " --out " + Quote((dir_ / "out").string()));
    EXPECT_EQ(recover.exitCode, 0) << recover.err;
    for (const auto& e : tsk) {
        if (e.kind != "file") continue;
        const auto it = std::find_if(ours.begin(), ours.end(), [&](const test::ListedEntry& o) {
            return test::MaskedPath(o.path) == test::MaskedPath(e.path);
        });
        const std::string saved = test::ReadAll(dir_ / "out" / it->path.substr(1));
        EXPECT_EQ(saved.size(), *e.size) << e.path;
        EXPECT_TRUE(saved == test::Shell("icat " + Quote(img.string()) + " " + e.inode)) << e.path;
    }
    EXPECT_EQ(test::ReadAll(dir_ / "out" / "\xEF\xBF\xA5IR1" / "A.BIN"), a);
    EXPECT_EQ(test::ReadAll(dir_ / "out" / "\xEF\xBF\xA5IR1" / "SUB" / "LONGNAME_B.bin"), b);
}

TEST_F(FatRealImages, SectorZeroWithoutATableAndABareNtfsVolume) {
    // Noise with no 0x55AA: no rows, and the way on is named; mmls finds no table either.
    std::string noise = Bytes(1 << 20, 7);
    const fs::path noisy = Write("noise.img", noise);
    const test::CliRun none = Cli("volumes " + Quote(noisy.string()));
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("--advance"), std::string::npos) << none.err;
    // The same bytes signed: the slots' boot flags are not 0x00 or 0x80, so still no table.
    noise[510] = 0x55, noise[511] = static_cast<char>(0xAA);
    Write("noise.img", noise);
    EXPECT_EQ(Cli("volumes " + Quote(noisy.string())).exitCode, 1);

    if (!test::HaveTool("mkntfs")) GTEST_SKIP() << "mkntfs (package ntfs-3g) is missing";
    const fs::path ntfs = dir_ / "ntfs.img";
    Run("truncate -s 16M " + Quote(ntfs.string()) + " && mkntfs -F -q -Q " + Quote(ntfs.string()));
    const test::CliRun one = Cli("volumes " + Quote(ntfs.string()) + " --json");
    const auto rows = test::JsonLines(one.out);
    ASSERT_EQ(rows.size(), 1u) << one.out << one.err;
    EXPECT_EQ(rows[0]["fileSystemLabel"], "NTFS");
    EXPECT_NE(std::system(("mmls " + Quote(ntfs.string()) + " >/dev/null 2>&1").c_str()), 0);  // no table for mmls either
    EXPECT_EQ(rows[0]["startSector"], 0);
}

TEST_F(FatRealImages, BootSectorClaimingMoreThanTheImageIsSaidAndFilesPastTheEndAreSavedDamaged) {
    const fs::path img = dir_ / "fat32.img";
    Run("truncate -s 40M " + Quote(img.string()) + " && mkfs.fat -F 32 " + Quote(img.string()));
    Write("big.bin", Bytes(3 << 20, 3));
    Run("mcopy -i " + Quote(img.string()) + " " + Quote((dir_ / "big.bin").string()) + " ::/BIG.BIN");
    // Cut the image inside the file, then claim 1 TiB in the boot sector.
    fs::resize_file(img, 2 << 20);
    Image image{test::ReadAll(img)};
    image.Put16(32, 0), image.Put16(34, 0x8000);  // 2^31 sectors
    { std::ofstream(img, std::ios::binary) << image.bytes; }

    const test::CliRun list = Cli("list " + Quote(img.string()));
    EXPECT_EQ(list.exitCode, 3);
    EXPECT_NE(list.err.find("1.0 TiB"), std::string::npos) << list.err;
    EXPECT_NE(list.out.find("/BIG.BIN"), std::string::npos);
    const test::CliRun recover = Cli("--yes recover " + Quote(img.string()) + " --out " + Quote((dir_ / "out").string()));
    EXPECT_EQ(recover.exitCode, 3) << recover.err;
    // Kept with what could be read, named with what could not, never counted among the whole ones.
    EXPECT_NE(recover.err.find("damaged: BIG.BIN ("), std::string::npos) << recover.err;
    EXPECT_NE(recover.err.find("0 file(s) saved in " + (dir_ / "out").string() + ", 1 saved damaged"), std::string::npos)
        << recover.err;
    // The clusters past the image's end are outside the volume the source holds: the file is what lies before.
    const std::string saved = test::ReadAll(dir_ / "out" / "BIG.BIN");
    ASSERT_GT(saved.size(), 0u);
    EXPECT_EQ(saved, Bytes(3 << 20, 3).substr(0, saved.size()));
    const std::string line = "damaged: BIG.BIN (" + [](std::string n) {
        for (std::size_t i = n.size(); i > 3; i -= 3) n.insert(i - 3, 1, ',');
        return n;
    }(std::to_string((3u << 20) - saved.size())) + " of 3,145,728 bytes unreadable)";
    EXPECT_NE(recover.err.find(line), std::string::npos) << line << "\n" << recover.err;
}

TEST_F(FatRealImages, ExfatNamesEndWhereTheirStreamEntrySays) {
    // A stream entry saying 6 characters before name entries holding 9 ("Documents"): the name is "Docume",
    // as the file system driver, fsck.exfat and fls read it.
    Image image{test::ReadAll(test::Fixture("exfat.img"))};
    std::size_t set = std::string::npos;
    for (std::size_t at = 0; at + 96 <= image.bytes.size(); at += 32) {
        const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(image.bytes[at + i]); };
        if (byte(0) == 0x85 && byte(32) == 0xC0 && byte(64) == 0xC1 && image.bytes.compare(at + 66, 4, "D\0o\0", 4) == 0) {
            set = at;
            break;
        }
    }
    ASSERT_NE(set, std::string::npos);
    ASSERT_EQ(image.bytes[set + 35], 9);
    image.bytes[set + 35] = 6;
    const fs::path img = dir_ / "exfat.img";
    { std::ofstream(img, std::ios::binary) << image.bytes; }
    const auto tsk = test::ParseFlsLong(test::Shell("fls -r -p -l " + Quote(img.string())));
    const auto ours = test::ListedEntries(Cli("list " + Quote(img.string()) + " --json").out);
    std::set<std::string> tskPaths, ourPaths;
    for (const auto& e : tsk) tskPaths.insert(e.path);
    for (const auto& e : ours) ourPaths.insert(e.path);
    EXPECT_TRUE(tskPaths.count("/Docume/Work"));
    EXPECT_TRUE(ourPaths.count("/Docume/Work"));
    EXPECT_FALSE(ourPaths.count("/Documents"));
}

}  // namespace
}  // namespace salvora
