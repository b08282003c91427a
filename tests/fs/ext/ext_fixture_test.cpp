// ext2Class over the ext2, ext3, ext4, ext4-64bit and ext4-inline fixtures (mke2fs -d and debugfs), against
// The Sleuth Kit: live entries and sizes equal `fls -r -p -l`, saved files equal `icat`, removed names fls
// lists are listed. Needs fls and icat (sleuthkit) on PATH.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "fixture_util.h"
#include "fs/ext/ext_scan_util.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::ReadAll;
using test::Sha256Of;
using test::Shell;

struct FlsLine {
    char type = 0;       // the inode's: 'r', 'd', 'l', 'p', ..., '-' when the name has no inode left
    char entryType = 0;  // the directory record's
    bool deleted = false;
    std::string inode;
    std::uint64_t size = 0;
};

class ExtFixture : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        image = test::Fixture(GetParam() + ".img");
        manifest = test::ReadManifest(GetParam() + ".img");
        parser.tree = &tree;
        ASSERT_TRUE(
            test::RunExtScan(parser, reader, image.string(), manifest["raw_size"].get<std::uint64_t>()));
        test::CollectExt(parser, parser.RootEntry(), "", listed);
        out = fs::temp_directory_path() / ("salvora-ext-" + GetParam() + "-" + std::to_string(::getpid()));
        fs::remove_all(out);
        fs::create_directories(out);
    }
    void TearDown() override { fs::remove_all(out); }

    // fls -r -p -l: "r/r * 50(realloc):\tpath\tmtime\tatime\tctime\tcrtime\tsize\tuid\tgid".
    std::multimap<std::string, FlsLine> Fls() const {
        std::multimap<std::string, FlsLine> result;
        std::istringstream lines(Shell("fls -r -p -l " + Quote(image.string())));
        for (std::string line; std::getline(lines, line);) {
            std::vector<std::string> fields;
            std::istringstream cols(line);
            for (std::string f; std::getline(cols, f, '\t');) fields.push_back(f);
            if (fields.size() < 2 || fields[1].rfind("$OrphanFiles", 0) == 0) continue;
            FlsLine f;
            f.type = fields[0][2];
            f.entryType = fields[0][0];
            f.deleted = fields[0].find(" * ") != std::string::npos;
            const auto space = fields[0].rfind(' ');
            f.inode = fields[0].substr(space + 1, fields[0].find_first_of("(:", space) - space - 1);
            if (fields.size() > 6) f.size = std::stoull(fields[6]);
            result.emplace("/" + fields[1], f);
        }
        return result;
    }

    fs::path image, out;
    nlohmann::json manifest;
    FileReadSeek reader;
    ResultTree tree;
    ext2Class parser;
    std::multimap<std::string, test::ExtListed> listed;
};

TEST_P(ExtFixture, LiveEntriesAndSizesEqualFls) {
    std::set<std::pair<std::string, std::uint64_t>> ours, theirs;
    for (const auto& [path, e] : listed)
        if (!e.deleted) ours.insert({path, e.folder ? 0 : e.size});
    for (const auto& [path, f] : Fls())
        if (!f.deleted && (f.type == 'r' || f.type == 'd' || f.type == 'l'))
            theirs.insert({path, f.type == 'd' ? 0 : f.size});
    EXPECT_EQ(ours, theirs);
    // The hard link is listed in both folders.
    EXPECT_EQ(listed.count("/links/hard_link.txt"), 1u);
    EXPECT_EQ(listed.count("/docs/readme.txt"), 1u);
}

TEST_P(ExtFixture, RemovedNamesThatFlsListsAreListedAsDeleted) {
    int removed = 0;
    for (const auto& [path, f] : Fls()) {
        const char type = f.type == '-' ? f.entryType : f.type;
        if (!f.deleted || (type != 'r' && type != 'd')) continue;
        ++removed;
        const auto it = listed.find(path);
        ASSERT_NE(it, listed.end()) << path;
        EXPECT_TRUE(it->second.deleted) << path;
        EXPECT_EQ(it->second.folder, type == 'd') << path;
    }
    EXPECT_GE(removed, 10);
}

TEST_P(ExtFixture, SavedFilesEqualIcat) {
    int compared = 0;
    for (const auto& [path, f] : Fls()) {
        if (f.type != 'r' || f.deleted) continue;
        const auto it = listed.find(path);
        ASSERT_NE(it, listed.end()) << path;
        const fs::path dest = out / std::to_string(compared++);
        ASSERT_TRUE(parser.ExtractFile(it->second.id, dest.string())) << path;
        const std::string theirs = Shell("icat " + Quote(image.string()) + " " + f.inode);
        EXPECT_EQ(ReadAll(dest), theirs) << path;
    }
    EXPECT_GE(compared, 30);
}

TEST_P(ExtFixture, RemovedFilesWhoseInodeStillMapsBlocksComeBack) {
    // debugfs leaves the block map of a removed inode in place; the manifest has the bytes they held. A name
    // whose record lost its inode number (fls: inode 0) is listed with nothing to save.
    const auto fls = Fls();
    for (const auto& f : manifest["files"]) {
        const std::string path = f["path"].get<std::string>();
        if (!f["deleted"].get<bool>() || path.rfind("/frag/", 0) == 0) continue;
        const auto it = listed.find(path);
        ASSERT_NE(it, listed.end()) << path;
        const auto theirs = fls.find(path);
        if (theirs != fls.end() && theirs->second.inode == "0") {
            EXPECT_TRUE(it->second.deleted) << path;
            EXPECT_EQ(it->second.size, 0u) << path;
            continue;
        }
        const fs::path dest = out / "removed";
        fs::remove(dest);
        ASSERT_TRUE(parser.ExtractFile(it->second.id, dest.string())) << path;
        EXPECT_EQ(fs::file_size(dest), f["size"].get<std::uint64_t>()) << path;
        EXPECT_EQ(Sha256Of(dest), f["sha256"].get<std::string>()) << path;
    }
}

TEST_P(ExtFixture, RemovedNameOfAReusedInodeIsListedEmpty) {
    // piece01.bin's inode now holds fragmented.bin: its name is listed, its content is not the other file's.
    const auto it = listed.find("/frag/piece01.bin");
    ASSERT_NE(it, listed.end());
    EXPECT_TRUE(it->second.deleted);
    EXPECT_EQ(it->second.size, 0u);
    const fs::path dest = out / "piece01.bin";
    EXPECT_TRUE(parser.ExtractFile(it->second.id, dest.string()));
    EXPECT_EQ(fs::file_size(dest), 0u);
}

TEST_P(ExtFixture, LinksAreShownTheFifoIsNamedAndLinkedButNotShown) {
    int named = 0;
    for (const auto& [key, r] : parser.InodeMap()) {
        if (r.name != "fast_link" && r.name != "slow_link" && r.name != "fifo") continue;
        ++named;
        const bool link = r.name != "fifo";
        EXPECT_EQ(ext2Class::Shown(r), link);
        EXPECT_EQ(parser.IsWalkFile(key), link);
        EXPECT_EQ(parser.LinkTarget(key).has_value(), link);
        EXPECT_FALSE(parser.IsWalkFolder(key));
        // Linked: its parent's chain reaches it.
        EntryId c = parser.InodeMap().at(r.parentInode).firstChild;
        while (c != kExtNoEntry && c != key) c = parser.InodeMap().at(c).nextSibling;
        EXPECT_EQ(c, key) << r.name;
    }
    EXPECT_EQ(named, 3);
    EXPECT_TRUE(listed.count("/links/fast_link"));
    EXPECT_FALSE(listed.count("/special/fifo"));
    for (ItemId item : tree.Children(parser.RootItem())) EXPECT_NE(tree.Item(item).text, "fifo");
}

TEST_P(ExtFixture, AnInodeNoNameHoldsIsNotShown) {
    // fls lists the orphan inode under $OrphanFiles; it has no name, so it has no record.
    std::istringstream lines(Shell("fls -r -p " + Quote(image.string()) + " | grep OrphanFile-"));
    int orphans = 0;
    for (std::string line; std::getline(lines, line);) {
        const auto colon = line.find(':');
        const auto space = line.rfind(' ', colon);
        const std::uint32_t inode = std::stoul(line.substr(space + 1, colon - space - 1));
        ++orphans;
        for (const auto& [key, r] : parser.InodeMap()) EXPECT_NE(r.inodeNumber, inode) << r.name;
    }
    EXPECT_GE(orphans, 1);
}

TEST_P(ExtFixture, TheTreeShowsRootAndItsFirstLevel) {
    const ItemId root = parser.RootItem();
    ASSERT_NE(root, kNoItem);
    EXPECT_EQ(tree.Item(root).text, "ROOT");
    std::set<std::string> first;
    for (ItemId item : tree.Children(root)) first.insert(tree.Item(item).text);
    for (const char* name : {"docs", "sizes", "frag", "links", "special", "lost+found"})
        EXPECT_TRUE(first.count(name));
    // Removed /old shows red.
    for (ItemId item : tree.Children(root)) {
        if (tree.Item(item).text == "old") {
            EXPECT_EQ(tree.Item(item).textColour, kDeletedColour);
        }
    }
}

TEST(ExtMetaBg, GroupsPastTheFirstDescriptorBlockAreRead) {
    // The Sleuth Kit reads this volume's later groups from the wrong place and misses their files; the
    // manifest holds what was written.
    const fs::path image = test::Fixture("ext4-metabg.img");
    const nlohmann::json manifest = test::ReadManifest("ext4-metabg.img");
    FileReadSeek reader;
    ResultTree tree;
    ext2Class parser;
    parser.tree = &tree;
    ASSERT_TRUE(test::RunExtScan(parser, reader, image.string(), manifest["raw_size"].get<std::uint64_t>()));
    ASSERT_GT(parser.GroupCount(), 16u);
    std::multimap<std::string, test::ExtListed> listed;
    test::CollectExt(parser, parser.RootEntry(), "", listed);
    const fs::path out = fs::temp_directory_path() / ("salvora-ext-metabg-" + std::to_string(::getpid()));
    fs::remove_all(out);
    fs::create_directories(out);
    int compared = 0;
    for (const auto& f : manifest["files"]) {
        const std::string path = f["path"];
        const auto it = listed.find(path);
        ASSERT_NE(it, listed.end()) << path;
        // The two removed there come back too: debugfs leaves their block maps.
        EXPECT_EQ(it->second.deleted, f["deleted"].get<bool>()) << path;
        const fs::path dest = out / std::to_string(compared++);
        ASSERT_TRUE(parser.ExtractFile(it->second.id, dest.string())) << path;
        EXPECT_EQ(Sha256Of(dest), f["sha256"].get<std::string>()) << path;
    }
    EXPECT_EQ(compared, 240);
    fs::remove_all(out);
}

INSTANTIATE_TEST_SUITE_P(Images, ExtFixture,
                         ::testing::Values("ext2", "ext3", "ext4", "ext4-64bit", "ext4-inline"),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (auto& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

}  // namespace
}  // namespace salvora
