// salvora-cli list, recover and search on ext and HFS+ volumes: a partition row labelled extX, a bare ext4
// image, the HFS+ volume inside an ISO image found by the advance scan, Standard and Deep modes, custom
// volumes, and the refusals. Needs the built salvora-cli, sha256sum and the ext4, mbr and hfsplus-iso
// fixtures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "cli/cli_run.h"
#include "fixture_util.h"
#include "scan/file_saver.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::CliRun;
using test::JsonLines;
using test::Sha256Of;

std::int64_t MTime(const fs::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_mtim.tv_sec : -1;
}

std::map<std::string, nlohmann::json> ListedByPath(const CliRun& run) {
    std::map<std::string, nlohmann::json> out;
    for (const auto& row : JsonLines(run.out)) out[row["path"].get<std::string>()] = row;
    return out;
}

class CliExtHfs : public ::testing::Test {
  protected:
    void SetUp() override {
        out_ = fs::temp_directory_path() / ("salvora-cli-exthfs-" + std::to_string(::getpid()));
        fs::remove_all(out_);
    }
    void TearDown() override { fs::remove_all(out_); }
    static std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }
    fs::path out_;
};

TEST_F(CliExtHfs, Ext4RecoverWritesEveryLiveFileWithItsBytesAndTimes) {
    const nlohmann::json manifest = test::ReadManifest("ext4.img");
    const fs::path image = test::Fixture("ext4.img");
    const CliRun run = Cli("recover " + Q(image) + " --yes --out " + Q(out_));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    int checked = 0;
    for (const auto& file : manifest["files"]) {
        if (file["deleted"].get<bool>()) continue;
        const fs::path saved = out_ / file["path"].get<std::string>().substr(1);
        ASSERT_TRUE(fs::is_regular_file(saved)) << saved;
        EXPECT_EQ(fs::file_size(saved), file["size"].get<std::uint64_t>()) << saved;
        EXPECT_EQ(Sha256Of(saved), file["sha256"].get<std::string>()) << saved;
        // The stored times, not the time of the save (the image was made in November 2023).
        EXPECT_GT(MTime(saved), 1698796800) << saved;
        EXPECT_LT(MTime(saved), 1701388800) << saved;
        ++checked;
    }
    EXPECT_GT(checked, 10);
    // The fifo holds nothing to save; links are saved (see the symbolic-link test).
    EXPECT_FALSE(fs::exists(fs::symlink_status(out_ / "special/fifo")));
}

TEST_F(CliExtHfs, ExtRowOfAPartitionTableIsListedAndSearched) {
    const fs::path disk = test::Fixture("mbr.img");
    const nlohmann::json manifest = test::ReadManifest("mbr.img");
    nlohmann::json ext;
    for (const auto& part : manifest["partitions"])
        if (part["filesystem"] == "ext4") ext = part;
    ASSERT_FALSE(ext.is_null());

    const CliRun list = Cli("list " + Q(disk) + " --volume 3 --json");
    ASSERT_EQ(list.exitCode, 0) << list.err;
    const auto listed = ListedByPath(list);
    for (const auto& file : ext["files"]) {
        const auto it = listed.find(file["path"].get<std::string>());
        ASSERT_NE(it, listed.end()) << file["path"];
        EXPECT_EQ(it->second["size"], file["size"]);
        EXPECT_EQ(it->second["deleted"].get<bool>(), file.value("deleted", false)) << file["path"];
    }

    const CliRun search = Cli("search " + Q(disk) + " --volume 3 'data' --json");
    ASSERT_EQ(search.exitCode, 0) << search.err;
    std::set<std::string> hits;
    for (const auto& row : JsonLines(search.out)) hits.insert(row["path"].get<std::string>());
    EXPECT_TRUE(hits.count("/docs/data.bin")) << search.out;

    // ext has a Standard worker only.
    const CliRun advanced = Cli("list " + Q(disk) + " --volume 3 --mode advanced");
    EXPECT_EQ(advanced.exitCode, 2);
    EXPECT_NE(
        advanced.err.find("Advanced recovery mode is not offered for a \"extX\" volume (offered: Standard)"),
        std::string::npos)
        << advanced.err;
}

TEST_F(CliExtHfs, WrongFileSystemIsSaidAndNotPassedOffAsAnEmptyVolume) {
    const fs::path fat = test::Fixture("fat16.img");
    const CliRun ext = Cli("list " + Q(fat) + " --start-sector 0 --size-mib 32 --fs EXTX");
    EXPECT_EQ(ext.exitCode, 1);
    EXPECT_NE(ext.err.find("Selected Drive is not in ext2/ext3/ext4 Format"), std::string::npos) << ext.err;
    EXPECT_EQ(ext.err.find("Scanning processing done"), std::string::npos) << ext.err;

    const CliRun hfs = Cli("list " + Q(fat) + " --start-sector 0 --size-mib 32 --fs HFS+");
    EXPECT_EQ(hfs.exitCode, 1);
    EXPECT_NE(hfs.err.find("Work Aborted...."), std::string::npos) << hfs.err;
    EXPECT_TRUE(hfs.out.empty()) << hfs.out;
}

TEST_F(CliExtHfs, HfsPlusInsideAnIsoInStandardAndDeepMode) {
    const fs::path iso = test::Fixture("hfsplus-iso.img");
    const nlohmann::json manifest = test::ReadManifest("hfsplus-iso.img");
    const std::string volume = Q(iso) + " --advance --volume 0";

    for (const std::string mode : {"standard", "deep"}) {
        const CliRun list = Cli("list " + volume + " --mode " + mode + " --json");
        ASSERT_EQ(list.exitCode, 0) << mode << list.err;
        EXPECT_NE(list.err.find("Work Done."), std::string::npos) << list.err;
        EXPECT_EQ(list.err.find("Scanning processing done"), std::string::npos) << list.err;
        const auto listed = ListedByPath(list);
        for (const auto& file : manifest["files"]) {
            const auto it = listed.find(file["path"].get<std::string>());
            ASSERT_NE(it, listed.end()) << mode << " " << file["path"];
            EXPECT_EQ(it->second["size"], file["size"]) << file["path"];
        }
    }
    EXPECT_EQ(Cli("list " + volume + " --mode advanced").exitCode, 2);

    // The same volume given by hand, saved in Deep mode.
    const std::string start = std::to_string(manifest["start_sector"].get<std::uint64_t>());
    const CliRun recover = Cli("recover " + Q(iso) + " --start-sector " + start +
                               " --size-mib 4 --fs hfs+ --mode deep --yes --out " + Q(out_));
    ASSERT_EQ(recover.exitCode, 0) << recover.err;
    for (const auto& file : manifest["files"]) {
        const fs::path saved = out_ / file["path"].get<std::string>().substr(1);
        ASSERT_TRUE(fs::is_regular_file(saved)) << saved;
        EXPECT_EQ(Sha256Of(saved), file["sha256"].get<std::string>()) << saved;
        if (file.contains("mtime")) {
            EXPECT_EQ(MTime(saved), file["mtime"].get<std::int64_t>()) << saved;
        }
    }
}

TEST_F(CliExtHfs, DeepScanCoversTheVolumeTheHeaderNamesBeyondItsWholeMiB) {
    // 1.6 MiB volume given as 1 MiB (the size text counts whole MiB): the unlinked leaf past the first MiB is
    // still found.
    const fs::path image = test::Fixture("hfsplus-patched.img");
    const CliRun run =
        Cli("list " + Q(image) + " --start-sector 0 --size-mib 1 --fs HFS+ --mode deep --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json manifest = test::ReadManifest("hfsplus-patched.img");
    const auto listed = ListedByPath(run);
    ASSERT_FALSE(manifest["deep_only"].empty());
    for (const auto& path : manifest["deep_only"]) EXPECT_TRUE(listed.count(path.get<std::string>())) << path;
}

TEST_F(CliExtHfs, SymbolicLinksAreListedWithTargetsAndSavedAsLinksOnlyWhenTheyStayInside) {
    const std::string image = test::Fixture("ext4.img").string();
    const auto listed = ListedByPath(Cli("list '" + image + "' --json"));
    // debugfs: fast_link (18 bytes, in the inode) and slow_link (100 bytes, in a block).
    EXPECT_EQ(listed.at("/links/fast_link")["kind"], "link");
    EXPECT_EQ(listed.at("/links/fast_link")["target"], "../docs/readme.txt");
    const std::string slow = listed.at("/links/slow_link")["target"];
    EXPECT_EQ(slow.size(), 100u);
    EXPECT_EQ(slow.rfind("../a/b/c/d/deep.txt/", 0), 0u);

    ASSERT_EQ(Cli("--yes recover '" + image + "' --out '" + out_.string() + "'").exitCode, 0);
    EXPECT_TRUE(fs::is_symlink(out_ / "links" / "fast_link"));
    EXPECT_EQ(fs::read_symlink(out_ / "links" / "fast_link"), "../docs/readme.txt");
    // Its ".." after names could climb out through another link: saved as a text file with the target.
    EXPECT_FALSE(fs::is_symlink(out_ / "links" / "slow_link"));
    EXPECT_EQ(test::ReadAll(out_ / "links" / "slow_link"), slow);

    const std::string root = out_.string();
    EXPECT_TRUE(LinkStaysInside(root + "/a/b/l", "../../x/y", root));
    EXPECT_TRUE(LinkStaysInside(root + "/l", "./x", root));
    EXPECT_FALSE(LinkStaysInside(root + "/a/l", "../../x", root));
    EXPECT_FALSE(LinkStaysInside(root + "/a/l", "x/../../..", root));
    EXPECT_FALSE(LinkStaysInside(root + "/a/l", "/etc/passwd", root));
    EXPECT_FALSE(LinkStaysInside(root + "/a/l", "", root));
}

}  // namespace
}  // namespace salvora
