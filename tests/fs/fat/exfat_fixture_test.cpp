// Fat64Class against a real exFAT volume (tests/fixtures/exfat.img, made by mkfs.exfat and the exFAT driver):
// the listing equals the manifest and `fls -r -p`, live files equal `icat`'s bytes, deleted files are listed
// and the contiguous ones come back whole. Needs The Sleuth Kit (fls, icat) and sha256sum on PATH.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "fixture_util.h"
#include "fs/fat/fat64_class.h"
#include "scan/deep_discovery.h"
#include "io/file_read_seek.h"
#include "model/result_tree.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::ReadAll;
using test::Sha256Of;
using test::Shell;

struct Listed {
    EntryId id;
    bool folder;
    bool deleted;
};

class ExFatFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        image = test::Fixture("exfat.img");
        manifest = test::ReadManifest("exfat.img");
        ASSERT_TRUE(reader.OpenSource(image.string()));
        parser.tree = &tree;
        ScanRequest request;
        request.source = &reader;
        request.volume = {"exFAT", "", image.string(), "64", 0, 64 << 20, {}, {}};
        ASSERT_EQ(parser.Scan(request), ScanOutcome::Done);
        Collect(parser.RootEntry(), "");
    }

    void Collect(EntryId dir, const std::string& prefix) {
        for (auto c = parser.FirstChild(dir); c; c = parser.NextSibling(*c)) {
            const std::string path = prefix + "/" + parser.EntryName(*c);
            listed.emplace(path, Listed{*c, parser.IsFolder(*c), parser.IsDeleted(*c)});
            if (parser.IsFolder(*c)) Collect(*c, path);
        }
    }

    // fls -r -p lines: "r/r * 433:\tpath"; metadata files and virtual entries are left out.
    std::map<std::string, std::pair<std::string, bool>> Fls() const {
        std::map<std::string, std::pair<std::string, bool>> out;
        std::istringstream lines(Shell("fls -f exfat -r -p " + Quote(image.string())));
        for (std::string line; std::getline(lines, line);) {
            const auto tab = line.find('\t');
            if (tab == std::string::npos || line[0] == 'v' || line[0] == 'V') continue;
            const std::string path = "/" + line.substr(tab + 1);
            if (path.find("(Volume Label Entry)") != std::string::npos || path == "/$ALLOC_BITMAP" ||
                path == "/$UPCASE_TABLE")
                continue;
            const bool deleted = line.find(" * ") != std::string::npos;
            const auto colon = line.rfind(':', tab);
            const auto space = line.rfind(' ', colon);
            out[path] = {line.substr(space + 1, colon - space - 1), deleted};
        }
        return out;
    }

    fs::path image;
    nlohmann::json manifest;
    FileReadSeek reader;
    ResultTree tree;
    Fat64Class parser;
    std::map<std::string, Listed> listed;
};

TEST_F(ExFatFixture, LiveEntriesEqualTheManifestAndFls) {
    std::set<std::string> ours, theirs, manifestLive;
    for (const auto& [path, e] : listed)
        if (!e.deleted) ours.insert(path);
    for (const auto& [path, f] : Fls())
        if (!f.second) theirs.insert(path);
    for (const auto& f : manifest["files"])
        if (!f.value("deleted", false)) manifestLive.insert(f["path"].get<std::string>());
    for (const auto& d : manifest["dirs"])
        if (!d.value("deleted", false)) manifestLive.insert(d["path"].get<std::string>());
    EXPECT_EQ(ours, theirs);
    EXPECT_EQ(ours, manifestLive);
    // The root runs over several clusters: its later entries are there.
    EXPECT_TRUE(ours.count("/Root file number 059.txt"));
    EXPECT_TRUE(ours.count("/Frag/after.bin"));
}

TEST_F(ExFatFixture, DeletedEntriesThatFlsListsAreListed) {
    for (const auto& [path, f] : Fls()) {
        if (!f.second) continue;
        const auto it = listed.find(path);
        ASSERT_NE(it, listed.end()) << path;
        EXPECT_TRUE(it->second.deleted) << path;
    }
    EXPECT_TRUE(listed.count("/OldTree/sub/a.txt"));
}

TEST_F(ExFatFixture, LiveFilesEqualIcatAndDeletedContiguousFilesComeBackWhole) {
    const fs::path out = fs::path(::testing::TempDir()) / "exfat-fixture-out";
    fs::remove_all(out);
    fs::create_directories(out);
    const auto fls = Fls();
    int n = 0, live = 0;
    for (const auto& [path, e] : listed) {
        if (e.folder || e.deleted) continue;
        const fs::path dest = out / std::to_string(n++);
        ASSERT_TRUE(parser.ExtractFile(e.id, dest.string())) << path;
        const auto f = fls.find(path);
        ASSERT_NE(f, fls.end()) << path;
        EXPECT_EQ(ReadAll(dest), Shell("icat -f exfat " + Quote(image.string()) + " " + f->second.first))
            << path;
        ++live;
    }
    EXPECT_GT(live, 80);

    // Deleted files whose entry set survived: the bytes icat reads for them, and the right bytes for every
    // one whose clusters were not reused (the holes punched to fragment /Frag/fragmented.bin were).
    int deletedWhole = 0;
    for (const auto& m : manifest["files"]) {
        if (!m.value("deleted", false)) continue;
        const std::string path = m["path"].get<std::string>();
        const auto it = listed.find(path);
        const auto f = fls.find(path);
        if (f == fls.end()) continue;
        ASSERT_NE(it, listed.end()) << path;
        const fs::path dest = out / std::to_string(n++);
        EXPECT_TRUE(parser.ExtractFile(it->second.id, dest.string())) << path;
        EXPECT_EQ(ReadAll(dest), Shell("icat -f exfat " + Quote(image.string()) + " " + f->second.first))
            << path;
        deletedWhole += Sha256Of(dest) == m["sha256"].get<std::string>();
    }
    EXPECT_EQ(deletedWhole, 5);
}

TEST_F(ExFatFixture, AdvancedRunWithTheBootSectorsFoundListsTheFiles) {
    Fat64Class deep;
    ResultTree deepTree;
    deep.tree = &deepTree;
    const auto search =
        RunDeepDiscovery(deep, DiscoveryKind::ExFat, &reader, VolumeEntry{"exFAT", "", image.string(), "64", 0, 64 << 20, {}, {}}, 3);
    ASSERT_TRUE(search.bootValid);
    ASSERT_FALSE(search.fatOffsets.empty());
    EXPECT_EQ(search.fatOffsets[0], 2048u * 512);
    EXPECT_EQ(search.heapOffsets[0], 4096u * 512);
    EXPECT_EQ(search.sectorsPerClusterTexts.front(), "3");  // 4 KiB clusters
    ASSERT_TRUE(deep.RunAdvanced(3, 0, 0));
    std::set<std::string> names;
    for (const auto& r : deep.Records()) names.insert(r.name);
    for (const auto& f : manifest["files"]) {
        const std::string path = f["path"].get<std::string>();
        if (!listed.count(path)) continue;  // deleted and its entry set overwritten
        EXPECT_TRUE(names.count(path.substr(path.rfind('/') + 1))) << path;
    }
}

}  // namespace
}  // namespace salvora
