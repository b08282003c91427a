// HFS+ scans of the committed images in both modes: every live file with its bytes and time, orphans, the
// unlinked leaf, hard links, a catalog in two and in thirteen extents, and the volume inside an ISO found by
// the advance scan; live entries and bytes checked against The Sleuth Kit (fls, icat). Needs
// tests/fixtures/hfsplus-*.img.zst, sha256sum, and fls/icat for the differential part.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utf8proc.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "fixture_util.h"
#include "fs/hfsplus/hfsp.h"
#include "hfs_scan_util.h"
#include "volumes/partition.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Sha256Of;
using test::Shell;

bool Have(const char* tool) { return !Shell(std::string("command -v ") + tool).empty(); }

std::string Nfc(const std::string& s) {
    auto* out = utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(s.c_str()));
    std::string r(reinterpret_cast<const char*>(out));
    std::free(out);
    return r;
}

struct Expected {
    std::string sha256;
    std::int64_t mtime = 0;
};

class HfsFixture : public ::testing::TestWithParam<std::tuple<std::string, bool>> {
  protected:
    void SetUp() override {
        name_ = std::get<0>(GetParam());
        deep_ = std::get<1>(GetParam());
        image_ = test::Fixture(name_ + ".img");
        manifest_ = test::ReadManifest(name_);
        out_ = fs::temp_directory_path() / ("salvora-hfs-fx-" + name_ + (deep_ ? "-deep" : "-std"));
        fs::remove_all(out_);
        fs::create_directories(out_);
        ASSERT_TRUE(test::RunHfsScan(parser_, reader_, image_, deep_,
                                     manifest_["start_sector"].get<std::uint64_t>()));
        paths_ = test::HfsPaths(parser_);
    }
    void TearDown() override { fs::remove_all(out_); }

    // Where each staged file is expected in the tree.
    std::map<std::string, Expected> ExpectedFiles() const {
        std::set<std::string> orphans;
        if (manifest_.contains("orphans"))
            for (const auto& o : manifest_["orphans"]) orphans.insert(o.get<std::string>());
        std::map<std::string, Expected> out;
        for (const auto& f : manifest_["files"]) {
            std::string path = f["path"];
            if (orphans.count(path)) path = "/ORPHAN_ENTRY" + path.substr(path.rfind('/'));
            out[path] = {f["sha256"], f["mtime"]};
        }
        if (manifest_.contains("hard_links"))
            for (const auto& l : manifest_["hard_links"]) out[l.get<std::string>()] = out.at("/linked.txt");
        return out;
    }

    fs::path Extract(EntryId id) {
        const fs::path dest = out_ / std::to_string(id);
        EXPECT_TRUE(parser_.ExtractFile(id, dest)) << id;
        return dest;
    }

    std::string name_;
    bool deep_ = false;
    fs::path image_, out_;
    nlohmann::json manifest_;
    FileReadSeek reader_;
    HFSP parser_;
    std::map<std::string, EntryId> paths_;
};

TEST_P(HfsFixture, EveryFileWithItsBytesAndTime) {
    for (const auto& [path, want] : ExpectedFiles()) {
        const auto it = paths_.find(path);
        ASSERT_NE(it, paths_.end()) << path;
        const fs::path dest = Extract(it->second);
        EXPECT_EQ(Sha256Of(dest), want.sha256) << path;
        struct stat st {};
        ASSERT_EQ(::stat(dest.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, want.mtime) << path;  // UTC, as stored
    }
}

TEST_P(HfsFixture, UnlinkedLeafOnlyInADeepScan) {
    if (!manifest_.contains("deep_only")) GTEST_SKIP() << "no unlinked leaf in " << name_;
    const auto ghost = paths_.find("/ghost/ghost.bin");
    if (!deep_) {
        EXPECT_EQ(ghost, paths_.end());
        return;
    }
    ASSERT_NE(ghost, paths_.end());
    EXPECT_EQ(Sha256Of(Extract(ghost->second)), manifest_["ghost_sha256"].get<std::string>());
}

TEST_P(HfsFixture, LiveEntriesAndBytesAsTheSleuthKitSees) {
    if (!Have("fls") || !Have("icat")) GTEST_SKIP() << "The Sleuth Kit not installed";
    const std::string off = std::to_string(manifest_["start_sector"].get<std::uint64_t>());
    const std::string listing = Shell("fls -f hfs -o " + off + " -r -p '" + image_.string() + "'");
    std::map<std::string, std::string> tsk;  // path -> inode, regular files only
    std::size_t at = 0;
    while (at < listing.size()) {
        const std::size_t end = listing.find('\n', at);
        const std::string line = listing.substr(at, end - at);
        at = end == std::string::npos ? listing.size() : end + 1;
        const auto tab = line.find('\t');
        if (line.rfind("r/r ", 0) != 0 || tab == std::string::npos) continue;
        const std::string path = "/" + Nfc(line.substr(tab + 1));
        if (path.rfind("/$", 0) == 0) continue;  // the special files TSK lists
        tsk[path] = line.substr(4, line.find(':') - 4);
    }
    ASSERT_FALSE(tsk.empty());
    std::map<std::string, EntryId> ours;
    for (const auto& [path, id] : paths_) {
        if (!parser_.IsWalkFile(id) || path.rfind("/ORPHAN_ENTRY/", 0) == 0 || path.rfind("/ghost/", 0) == 0)
            continue;
        std::string shown = path;
        for (char& c : shown)
            if (c == '\0') c = '^';
        ours[shown] = id;
    }
    std::set<std::string> tskPaths, ourPaths;
    for (const auto& [p, i] : tsk) tskPaths.insert(p);
    for (const auto& [p, i] : ours) ourPaths.insert(p);
    EXPECT_EQ(ourPaths, tskPaths);
    for (const auto& [path, inode] : tsk) {
        const auto it = ours.find(path);
        if (it == ours.end()) continue;
        const std::string theirs =
            Shell("icat -f hfs -o " + off + " '" + image_.string() + "' " + inode + " | sha256sum")
                .substr(0, 64);
        EXPECT_EQ(Sha256Of(Extract(it->second)), theirs) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Images, HfsFixture,
                         ::testing::Combine(::testing::Values("hfsplus-iso", "hfsplus-cat2",
                                                              "hfsplus-patched"),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             std::string n =
                                 std::get<0>(info.param) + (std::get<1>(info.param) ? "_deep" : "_std");
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

TEST(HfsFixtureCatalog, ThirteenExtentsReachTheOverflowFile) {
    const auto manifest = test::ReadManifest("hfsplus-patched");
    EXPECT_GT(manifest["catalog_extents"].get<int>(), 8);
    EXPECT_EQ(test::ReadManifest("hfsplus-cat2")["catalog_extents"].get<int>(), 2);
    EXPECT_GT(manifest["fragmented"][0]["extents"].get<int>(), 8);
}

TEST(HfsFixtureIso, AdvanceScanFindsTheVolumeInsideTheIso) {
    const auto image = test::Fixture("hfsplus-iso.img");
    const auto manifest = test::ReadManifest("hfsplus-iso");
    FileReadSeek reader;
    ASSERT_TRUE(reader.OpenSource(image));
    std::vector<VolumeEntry> found;
    Partition scanner;
    scanner.volumeList = &found;
    scanner.rangeEndSector = reader.sourceLength / kSectorBytes;
    scanner.ScanForBootSectors(reader);
    const auto hfs = std::find_if(found.begin(), found.end(),
                                  [](const VolumeEntry& v) { return v.fileSystemLabel == "HFS+"; });
    ASSERT_NE(hfs, found.end());
    EXPECT_EQ(hfs->startSector, manifest["start_sector"].get<std::uint64_t>());
    HFSP parser;
    FileReadSeek scanReader;
    ASSERT_TRUE(test::RunHfsScan(parser, scanReader, image, true, hfs->startSector, hfs->sizeText));
    const auto paths = test::HfsPaths(parser);
    for (const auto& f : manifest["files"])
        EXPECT_TRUE(paths.count(f["path"].get<std::string>())) << f["path"];
}

}  // namespace
}  // namespace salvora
