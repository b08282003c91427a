// NTFS volumes made by mkntfs and filled through ntfs-3g, read by salvora-cli and by The Sleuth Kit: every
// alternate stream and every deleted file whose record was not reused comes out of `cat` as `icat` gives it;
// a volume without its boot sector lists as the intact one, and one without both boot sectors gives its files
// back in the advanced run.
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

bool Have(const std::string& fixture) {
    for (const std::string& name : test::ListFixtures(true))
        if (name == fixture + ".img") return true;
    return false;
}

class NtfsFixture : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (!test::HaveTool("fls") || !test::HaveTool("icat")) GTEST_SKIP() << "The Sleuth Kit (sleuthkit) is missing";
        if (!Have(GetParam())) GTEST_SKIP() << GetParam() << " is not among the fixtures";
        image_ = test::Fixture(std::string(GetParam()) + ".img").string();
    }
    std::string image_;
};

TEST_P(NtfsFixture, StreamsAndDeletedFilesEqualIcat) {
    const auto tsk = test::ParseFlsLong(test::Shell("fls -r -p -l " + Quote(image_) + " 2>/dev/null"));
    const test::CliRun list = Cli("list " + Quote(image_) + " --json");
    ASSERT_EQ(list.exitCode, 0) << list.err;
    std::set<std::string> listed;
    for (const auto& e : test::ListedEntries(list.out)) listed.insert(e.path);
    int streams = 0, deleted = 0;
    const fs::path dir = fs::temp_directory_path() / ("salvora-ntfs-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    for (const auto& e : tsk) {
        const bool stream = e.path.find(':') != std::string::npos;
        // The metadata files' streams beside their data ($Secure:$SII, $Extend/$Quota:$Q) are indexes.
        if (e.kind != "file" || e.reallocated || !(stream || e.deleted) || e.path.rfind("/$", 0) == 0) continue;
        ASSERT_TRUE(listed.count(e.path)) << "fls lists " << e.path << "; list does not";
        const fs::path ours = dir / "ours", theirs = dir / "theirs";
        const test::CliRun cat = Cli("cat " + Quote(image_) + " " + Quote(e.path.substr(1)), "");
        {
            std::ofstream(ours, std::ios::binary) << cat.out;
        }
        ASSERT_EQ(std::system(("icat " + Quote(image_) + " " + e.inode + " >" + Quote(theirs.string()) + " 2>/dev/null")
                                  .c_str()),
                  0);
        EXPECT_TRUE(test::ReadAll(ours) == test::ReadAll(theirs)) << e.path << " (" << e.inode << "): bytes differ from icat's";
        (stream ? streams : deleted) += 1;
    }
    fs::remove_all(dir);
    EXPECT_GT(streams, 0);
    EXPECT_GT(deleted, 3);
}

// Every live file and stream the manifest names, saved by recover, has the bytes that were written (fls and icat
// cannot read a sparse file larger than its volume; this does not need them).
TEST_P(NtfsFixture, EveryLiveFileAndStreamSavedWithItsBytes) {
    const auto manifest = test::ReadManifest(std::string(GetParam()) + ".img");
    const fs::path out = fs::temp_directory_path() / ("salvora-ntfs-all-" + std::to_string(::getpid()));
    fs::remove_all(out);
    const test::CliRun run = Cli("--yes recover " + Quote(image_) + " --out " + Quote(out.string()));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto saved = test::Sha256Tree(out);
    int compared = 0;
    for (const char* key : {"files", "streams"}) {
        if (!manifest.contains(key)) continue;
        for (const auto& f : manifest[key]) {
            if (f["deleted"].get<bool>()) continue;
            std::string path = f["path"].get<std::string>().substr(1);
            if (path.rfind("$Recycle.Bin/", 0) == 0 && path.find("/$R") != std::string::npos) continue;  // renamed
            if (f.contains("name")) path += ":" + f["name"].get<std::string>();
            const auto it = saved.find(path);
            ASSERT_TRUE(it != saved.end()) << path << " was not saved";
            EXPECT_EQ(it->second, f["sha256"].get<std::string>()) << path;
            ++compared;
        }
    }
    EXPECT_GT(compared, 900);
    // Both index versions give their $R files the former names.
    const fs::path bin = out / "$Recycle.Bin" / "S-1-5-21-1-1-1-1001";
    EXPECT_TRUE(fs::exists(bin / "budget.txt"));
    EXPECT_TRUE(fs::exists(bin / "Holiday in Brittany.jpg"));
    fs::remove_all(out);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, NtfsFixture, ::testing::Values("ntfs-4k", "ntfs-512", "ntfs-64k"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

TEST(NtfsLostBoot, BackupBootSectorAndTheRecordSearch) {
    if (!Have("ntfs-noboot") || !Have("ntfs-nobootboth") || !Have("ntfs-4k"))
        GTEST_SKIP() << "the damaged NTFS fixtures are missing";
    const std::string intact = test::Fixture("ntfs-4k.img").string();
    const std::string noBoot = test::Fixture("ntfs-noboot.img").string();
    const std::string noBoth = test::Fixture("ntfs-nobootboth.img").string();
    const test::CliRun whole = Cli("list " + Quote(intact) + " --json");
    ASSERT_EQ(whole.exitCode, 0) << whole.err;

    // Sector 0 gone: the image is still taken for an NTFS volume, read from the backup, and lists the same.
    const test::CliRun backup = Cli("--verbose list " + Quote(noBoot) + " --json");
    ASSERT_EQ(backup.exitCode, 0) << backup.err;
    EXPECT_NE(backup.err.find("backup boot sector"), std::string::npos) << backup.err;
    EXPECT_EQ(backup.out, whole.out);

    // Both gone: the standard run refuses and points to the advanced one, which finds the MFT by itself.
    const test::CliRun standard = Cli("list " + Quote(noBoth) + " --start-sector 0 --fs NTFS");
    EXPECT_EQ(standard.exitCode, 1);
    EXPECT_NE(standard.err.find("--mode advanced"), std::string::npos) << standard.err;
    const fs::path out = fs::temp_directory_path() / ("salvora-ntfs-noboot-" + std::to_string(::getpid()));
    fs::remove_all(out);
    const test::CliRun run = Cli("--yes --verbose recover " + Quote(noBoth) + " --start-sector 0 --fs NTFS --mode advanced --out " +
                                 Quote(out.string()));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("geometry from the MFT's first record: cluster 4096 bytes"), std::string::npos) << run.err;
    const auto manifest = test::ReadManifest("ntfs-nobootboth.img");
    const auto saved = test::Sha256Tree(out);
    int live = 0, exact = 0;
    for (const auto& f : manifest["files"]) {
        if (f["deleted"].get<bool>()) continue;
        ++live;
        const auto it = saved.find(f["path"].get<std::string>().substr(1));
        exact += it != saved.end() && it->second == f["sha256"].get<std::string>();
    }
    EXPECT_GE(exact * 10, live * 9) << exact << " of " << live << " live files saved byte-exact";
    fs::remove_all(out);
}

}  // namespace
}  // namespace salvora
