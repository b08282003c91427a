// What a person meets first: a GPT disk read without being told it is one, its rows opened by what they hold,
// and a next step named (with a non-zero exit) wherever nothing was found. The GPT disk is laid out by sfdisk
// around the ext4 and HFS+ fixture volumes; the partition starts are checked against mmls.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "cli/cli_run.h"
#include "fixture_util.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::CliRun;
using test::JsonLines;

constexpr std::uint64_t kHfsStart = 2048, kHfsSectors = 8192;
constexpr std::uint64_t kExtStart = 10240, kExtSectors = 32768;

void CopyInto(const fs::path& volume, std::fstream& disk, std::uint64_t sector) {
    std::ifstream in(volume, std::ios::binary);
    disk.seekp(static_cast<std::streamoff>(sector * 512));
    disk << in.rdbuf();
}

std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }

std::set<std::string> ManifestPaths(const std::string& fixture) {
    std::set<std::string> paths;
    const nlohmann::json manifest = test::ReadManifest(fixture);
    for (const auto& file : manifest["files"])
        if (!file.value("deleted", false)) paths.insert(file["path"].get<std::string>());
    // Files whose folder record is gone are listed under the lost-entries folder instead.
    for (const auto& orphan : manifest.value("orphans", nlohmann::json::array())) paths.erase(orphan.get<std::string>());
    return paths;
}

std::set<std::string> ListedFiles(const CliRun& run) {
    std::set<std::string> paths;
    for (const auto& row : JsonLines(run.out))
        if (row["kind"] == "file" && !row["deleted"].get<bool>()) paths.insert(row["path"].get<std::string>());
    return paths;
}

class CliGuidance : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("salvora-cli-guidance-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(CliGuidance, GptDiskIsFoundByItselfAndItsExtAndHfsRowsOpen) {
    if (std::system("command -v sfdisk >/dev/null 2>&1") != 0) GTEST_SKIP() << "sfdisk (package fdisk) is missing";
    const fs::path disk = dir_ / "gpt.img";
    {
        std::ofstream create(disk, std::ios::binary);
    }
    fs::resize_file(disk, (kExtStart + kExtSectors + 2048) * 512);
    const std::string layout =
        "label: gpt\n"
        "start=" + std::to_string(kHfsStart) + ", size=" + std::to_string(kHfsSectors) +
        ", type=48465300-0000-11AA-AA11-00306543ECAC, name=\"Mac\"\n"
        "start=" + std::to_string(kExtStart) + ", size=" + std::to_string(kExtSectors) +
        ", type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n";
    ASSERT_EQ(std::system(("printf '%s' '" + layout + "' | sfdisk -q " + Q(disk) + " >/dev/null").c_str()), 0);
    {
        std::fstream out(disk, std::ios::binary | std::ios::in | std::ios::out);
        CopyInto(test::Fixture("hfsplus-cat2.img"), out, kHfsStart);
        CopyInto(test::Fixture("ext4.img"), out, kExtStart);
    }

    // No --gpt: the protective MBR and the header in sector 1 are enough. Rows carry the label the parsers
    // go by, the everyday name and the table's name.
    const CliRun volumes = Cli("volumes --json " + Q(disk));
    ASSERT_EQ(volumes.exitCode, 0) << volumes.err;
    const auto rows = JsonLines(volumes.out);
    ASSERT_EQ(rows.size(), 2u) << volumes.out;
    EXPECT_EQ(rows[0]["fileSystemLabel"], "HFS+");
    EXPECT_EQ(rows[0]["partitionName"], "Mac");
    EXPECT_EQ(rows[0]["name"].get<std::string>().rfind("HFS", 0), 0u) << rows[0].dump();
    EXPECT_EQ(rows[1]["fileSystemLabel"], "extX");
    EXPECT_EQ(rows[1]["name"].get<std::string>().rfind("ext4", 0), 0u) << rows[1].dump();
    EXPECT_NE(rows[1]["sizeText"].get<std::string>().find("MB"), std::string::npos);
    // The starts are the ones mmls reads from the same table.
    const std::string mmls = test::Shell("mmls " + Q(disk));
    for (const auto& row : rows) {
        char start[16];
        std::snprintf(start, sizeof start, "%010llu", static_cast<unsigned long long>(row["startSector"]));
        EXPECT_NE(mmls.find(start), std::string::npos) << mmls;
    }
    // --mbr still reads the protective MBR as it stands.
    const auto mbrRows = JsonLines(Cli("volumes --json --mbr " + Q(disk)).out);
    ASSERT_EQ(mbrRows.size(), 1u);
    EXPECT_EQ(mbrRows[0]["partitionName"], "type 0xee");

    // Both rows open from the list and give the fixture's files.
    const CliRun hfs = Cli("list --json --volume 0 " + Q(disk));
    EXPECT_EQ(hfs.exitCode, 0) << hfs.err;
    const std::set<std::string> hfsFiles = ListedFiles(hfs);
    for (const std::string& path : ManifestPaths("hfsplus-cat2.img")) EXPECT_TRUE(hfsFiles.count(path)) << path;
    const CliRun ext = Cli("list --json --volume 1 " + Q(disk));
    EXPECT_EQ(ext.exitCode, 0) << ext.err;
    EXPECT_EQ(ListedFiles(ext), ManifestPaths("ext4.img"));
}

TEST_F(CliGuidance, NothingFoundNamesTheNextStepAndExitsNonZero) {
    // A disk whose table is lost: the advance scan and carving are named.
    const fs::path lost = test::Fixture("mbr-zeroed.img");
    CliRun run = Cli("volumes " + Q(lost));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("volumes " + lost.string() + " --advance"), std::string::npos) << run.err;
    run = Cli("list " + Q(lost));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("--mode advanced"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("carve " + lost.string()), std::string::npos) << run.err;

    // A FAT32 card quick-formatted over its files: Standard finds nothing and names Advanced with --formatted;
    // the wizard's "Select save button" text is not printed to a terminal user.
    const fs::path card = dir_ / "formatted.img";
    fs::copy_file(test::Fixture("fat32.img"), card);
    if (std::system(("mkfs.fat -F 32 " + Q(card) + " >/dev/null 2>&1").c_str()) == 0) {
        run = Cli("list " + Q(card));
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("nothing was found on this volume"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("--mode advanced  (with --formatted"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("Select save button"), std::string::npos) << run.err;
        EXPECT_NE(Cli("--verbose list " + Q(card)).err.find("Select save button"), std::string::npos);
        EXPECT_EQ(Cli("list " + Q(card) + " --mode advanced --formatted").exitCode, 0);
    }

    // A text file and an empty file are not drives: each says why.
    const fs::path text = dir_ / "notes.txt";
    std::ofstream(text) << "hello\n";
    run = Cli("list " + Q(text));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("too few for a partition table or a file system"), std::string::npos) << run.err;
    const fs::path empty = dir_ / "empty.img";
    std::ofstream{empty};
    run = Cli("volumes " + Q(empty));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("the source is empty"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace salvora

namespace salvora {
namespace {

// A name made to drive the terminal (set its title, ring, start a new line): printed as visible escapes, saved
// with '_' in place of each control character. The volume is made by mke2fs from a folder holding such a file.
TEST_F(CliGuidance, NamesAreDataNotTerminalCommands) {
    if (std::system("command -v mke2fs >/dev/null 2>&1") != 0) GTEST_SKIP() << "mke2fs (e2fsprogs) is missing";
    const std::string evil = "evil\x1b]0;owned\x07\n\x7f.txt";
    fs::create_directories(dir_ / "tree");
    std::ofstream(dir_ / "tree" / evil) << "payload\n";
    const fs::path image = dir_ / "names.img";
    ASSERT_EQ(std::system(("mke2fs -q -F -t ext4 -d " + Q(dir_ / "tree") + " " + Q(image) + " 8M >/dev/null 2>&1").c_str()), 0);

    const CliRun list = Cli("list " + Q(image));
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("/evil\\033]0;owned\\007\\012\\177.txt\tfile"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(list.out.find('\x07'), std::string::npos);
    const CliRun search = Cli("search " + Q(image) + " evil");
    EXPECT_NE(search.out.find("/evil\\033]0;owned"), std::string::npos) << search.out;
    // JSON keeps the name exactly (escaped the JSON way).
    EXPECT_EQ(JsonLines(Cli("search --json " + Q(image) + " evil").out).at(0)["path"], "/" + evil);

    const CliRun saved = Cli("recover --yes " + Q(image) + " --out " + Q(dir_ / "out"));
    EXPECT_EQ(saved.exitCode, 0) << saved.err;
    EXPECT_TRUE(fs::is_regular_file(dir_ / "out" / "evil_]0;owned___.txt"));
    EXPECT_EQ(saved.err.find('\x1b'), std::string::npos);
    // The program's own messages keep their line breaks.
    EXPECT_NE(saved.err.find("..?\n\nThey will be saved in "), std::string::npos) << saved.err;
}

}  // namespace
}  // namespace salvora
