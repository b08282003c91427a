// `cat` and `stat` against The Sleuth Kit: the bytes of files of the FAT16, FAT32, exFAT and ext4 fixtures equal
// icat's, and the runs of a fragmented FAT32 file (mtools made to reuse a freed gap) and of a sparse ext4 file
// with an extent tree (mke2fs -d) equal istat's sector and block lists.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/tsk_compare.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::Quote;

class CliContent : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"fls", "icat", "istat"})
            if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is missing (package sleuthkit)";
        dir_ = fs::temp_directory_path() / ("salvora-content-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // What `stat --json` says, as one absolute unit number per unit of the file (0 for a hole).
    std::vector<std::uint64_t> Units(const std::string& image, const std::string& path, std::uint64_t unit) {
        const test::CliRun run = Cli("stat " + Quote(image) + " " + Quote(path) + " --json");
        EXPECT_EQ(run.exitCode, 0) << run.err;
        std::vector<std::uint64_t> units;
        const nlohmann::json stat = nlohmann::json::parse(run.out);
        for (const auto& r : stat["runs"]) {
            const std::uint64_t length = r["length"], first = r["fileOffset"];
            for (std::uint64_t at = first; at < first + length; at += unit)
                units.push_back(r["sourceOffset"].is_null() ? 0 : (r["sourceOffset"].get<std::uint64_t>() + (at - first)) / unit);
        }
        return units;
    }
    // The numbers istat prints between `from` and the next heading.
    static std::vector<std::uint64_t> IstatList(const std::string& text, const std::string& from) {
        std::vector<std::uint64_t> numbers;
        std::stringstream lines(text.substr(text.find(from) + from.size()));
        std::string line;
        while (std::getline(lines, line) && line.find(':') == std::string::npos) {
            std::stringstream words(line);
            for (std::uint64_t n; words >> n;) numbers.push_back(n);
        }
        return numbers;
    }
    void Run(const std::string& command) { ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command; }

    fs::path dir_;
};

TEST_F(CliContent, CatEqualsIcatOnTheFixtures) {
    for (const std::string fixture : {"fat16.img", "fat32.img", "exfat.img", "ext4.img"}) {
        const std::string image = test::Fixture(fixture).string();
        const auto files = test::ParseFlsLong(test::Shell("fls -r -p -l " + Quote(image)));
        int compared = 0, index = 0;
        for (const auto& e : files) {
            // Every third live file keeps the run short; the whole set is compared by the differential suite.
            if (e.deleted || e.kind != "file" || e.path.find('$') != std::string::npos || index++ % 3 != 0) continue;
            if (e.path.size() > 200) continue;  // fls cuts the longest names short
            const fs::path out = dir_ / "cat.bin";
            const test::CliRun cat = Cli("cat " + Quote(image) + " " + Quote(e.path), "");
            EXPECT_EQ(cat.exitCode, 0) << fixture << e.path << cat.err;
            EXPECT_TRUE(cat.out == test::Shell("icat " + Quote(image) + " " + e.inode)) << fixture << e.path;
            ++compared;
        }
        EXPECT_GT(compared, 5) << fixture;
    }
    const std::string image = test::Fixture("fat16.img").string();
    EXPECT_EQ(Cli("cat " + Quote(image) + " /no/such/file").exitCode, 1);
    EXPECT_EQ(Cli("cat " + Quote(image) + " /Documents").exitCode, 2);
}

TEST_F(CliContent, StatRunsEqualIstatForAFragmentedFat32FileAndASparseExt4File) {
    if (!test::HaveTool("mcopy") || !test::HaveTool("mke2fs")) GTEST_SKIP() << "mtools or e2fsprogs is missing";
    const auto make = [&](const std::string& name, std::size_t size, int seed) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 29 + seed) & 0xFF);
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
        return Quote((dir_ / name).string());
    };
    // FAT32: B deleted, the free-cluster hint reset, so D fills B's gap and goes on behind C.
    const std::string fat = (dir_ / "fat32.img").string();
    Run("truncate -s 64M " + Quote(fat) + " && mkfs.fat -F 32 -s 1 " + Quote(fat));
    const std::string i = " -i " + Quote(fat) + " ";
    Run("mcopy" + i + make("a", 5000, 1) + " ::/A.BIN && mcopy" + i + make("b", 3000, 2) + " ::/B.BIN && mcopy" + i +
        make("c", 5000, 3) + " ::/C.BIN && mdel" + i + "::/B.BIN");
    Run("printf '\\377\\377\\377\\377' | dd of=" + Quote(fat) + " bs=1 seek=" + std::to_string(512 + 0x1EC) +
        " conv=notrunc");
    Run("mcopy" + i + make("d", 9000, 4) + " ::/D.BIN");
    const std::string inode = test::Shell("fls -p " + Quote(fat) + " | sed -n 's/^r\\/r \\([0-9]*\\):\\tD.BIN$/\\1/p'");
    ASSERT_FALSE(inode.empty());
    const auto sectors = Units(fat, "/D.BIN", 512);
    EXPECT_EQ(sectors, IstatList(test::Shell("istat " + Quote(fat) + " " + inode), "Sectors:\n"));
    ASSERT_FALSE(sectors.empty());
    EXPECT_GT(sectors.back() - sectors.front() + 1, sectors.size()) << "D.BIN should not be contiguous";
    EXPECT_EQ(Cli("cat " + Quote(fat) + " /D.BIN").out, test::ReadAll(dir_ / "d"));

    // ext4: twelve pieces 64 KiB apart, more extents than the inode holds, so they sit in a tree block.
    fs::create_directories(dir_ / "tree");
    {
        std::ofstream sparse(dir_ / "tree" / "sparse.bin", std::ios::binary);
        for (int piece = 0; piece < 12; ++piece) {
            sparse.seekp(piece * 65536);
            sparse << std::string(5000, static_cast<char>('a' + piece));
        }
    }
    fs::resize_file(dir_ / "tree" / "sparse.bin", 12 * 65536 + 4096);
    const std::string ext = (dir_ / "ext4.img").string();
    Run("mke2fs -q -t ext4 -b 4096 -d " + Quote((dir_ / "tree").string()) + " " + Quote(ext) + " 16M");
    const std::string istat = test::Shell("istat " + Quote(ext) + " 12");
    ASSERT_NE(istat.find("Extent Blocks:"), std::string::npos) << istat;
    const auto blocks = Units(ext, "/sparse.bin", 4096);
    EXPECT_EQ(blocks, IstatList(istat, "Direct Blocks:\n"));
    EXPECT_EQ(Cli("cat " + Quote(ext) + " /sparse.bin").out, test::ReadAll(dir_ / "tree" / "sparse.bin"));
}

}  // namespace
}  // namespace salvora
