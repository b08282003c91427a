// MountTree without FUSE: the fat32, exfat and ext4 fixtures read through it against their manifests (every live
// file's bytes, read in odd pieces across runs and holes), modes, times, links and attributes; naming and
// filtering on an in-memory parser.
#include "mount/mount_tree.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <set>

#include "fixture_util.h"
#include "io/file_read_seek.h"
#include "model/result_tree.h"
#include "scan/fake_parser.h"
#include "scan/file_systems.h"
#include "scan/report_writer.h"

namespace salvora {
namespace {

std::string Sha256(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

struct Scanned {
    FileReadSeek reader;
    ResultTree tree;
    std::unique_ptr<ParserBase> parser;
};

std::unique_ptr<Scanned> Scan(const std::string& fixture, const std::string& label) {
    auto s = std::make_unique<Scanned>();
    const std::string path = test::Fixture(fixture + ".img").string();
    if (!s->reader.OpenSource(path)) return nullptr;
    s->parser = FindFileSystem(label)->create();
    s->parser->tree = &s->tree;
    const auto bytes = test::ReadManifest(fixture)["raw_size"].get<std::uint64_t>();
    ScanRequest request;
    request.source = &s->reader;
    request.volume = {label, "", path, std::to_string(bytes >> 20), 0, bytes, {}, {}};
    if (s->parser->Scan(request) != ScanOutcome::Done) return nullptr;
    return s;
}

// The whole file through Open/Read in pieces of `piece` bytes.
std::string ReadWhole(MountTree& tree, MountNode node, std::size_t piece) {
    std::uint64_t handle = 0;
    if (tree.Open(node, handle) != 0) return "open failed";
    std::string out;
    std::vector<std::uint8_t> buffer(piece);
    for (;;) {
        const long got = tree.Read(handle, out.size(), buffer);
        if (got < 0) return "read failed";
        if (got == 0) break;
        out.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(got));
    }
    tree.Release(handle);
    return out;
}

class MountTreeFixture : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(MountTreeFixture, LiveFilesReadAsTheManifestAndCarryTheirAttributes) {
    const auto [fixture, label] = GetParam();
    const auto scanned = Scan(fixture, label);
    ASSERT_NE(scanned, nullptr);
    ParserBase& parser = *scanned->parser;
    MountTree tree(parser, {.uid = 1234, .gid = 5678});
    const nlohmann::json manifest = test::ReadManifest(fixture);

    for (const auto& file : manifest["files"]) {
        if (file["deleted"].get<bool>()) continue;
        const std::string path = file["path"];
        SCOPED_TRACE(path);
        const auto node = tree.Resolve(path);
        ASSERT_TRUE(node);
        const struct stat st = tree.Attr(*node);
        EXPECT_EQ(st.st_mode, S_IFREG | 0444);
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
        EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), file["size"].get<std::uint64_t>());
        const StoredTimes times = parser.EntryStoredTimes(tree.Entry(*node));
        ASSERT_TRUE(times.modified);
        EXPECT_EQ(st.st_mtim.tv_sec, times.modified->tv_sec);
        EXPECT_EQ(st.st_ctim.tv_sec, times.changed.value_or(*times.modified).tv_sec);

        // Odd pieces cross every cluster, extent and hole boundary off their alignment.
        const std::string whole = ReadWhole(tree, *node, 4093);
        EXPECT_EQ(Sha256(whole), file["sha256"].get<std::string>());
        if (whole.size() > 3) {
            std::uint64_t handle = 0;
            ASSERT_EQ(tree.Open(*node, handle), 0);
            std::vector<std::uint8_t> piece(whole.size() / 2 + 7);
            const std::uint64_t at = whole.size() / 3;
            const long got = tree.Read(handle, at, piece);
            ASSERT_EQ(got, static_cast<long>(std::min<std::uint64_t>(piece.size(), whole.size() - at)));
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(piece.data()), static_cast<std::size_t>(got)),
                      whole.substr(at, static_cast<std::size_t>(got)));
            EXPECT_EQ(tree.Read(handle, whole.size() + 100, piece), 0);
            tree.Release(handle);
        }

        std::string value;
        EXPECT_EQ(tree.GetXattr(*node, kVerdictXattr, value), 0);
        EXPECT_EQ(value, "intact");
        EXPECT_EQ(tree.GetXattr(*node, kDeletedXattr, value), 0);
        EXPECT_EQ(value, "0");
        // The runs cover the file: their lengths add up to its size.
        ASSERT_EQ(tree.GetXattr(*node, kRunsXattr, value), 0);
        std::uint64_t covered = 0, offset = 0, length = 0;
        for (std::size_t at = 0; at < value.size();) {
            const std::size_t end = value.find('\n', at);
            ASSERT_NE(end, std::string::npos);
            ASSERT_EQ(std::sscanf(value.c_str() + at, "%lu+%lu", &offset, &length), 2) << value;
            EXPECT_EQ(offset, covered);
            covered += length;
            at = end + 1;
        }
        EXPECT_EQ(covered, file["size"].get<std::uint64_t>());
    }

    for (const auto& dir : manifest["dirs"]) {
        if (dir["deleted"].get<bool>()) continue;
        const auto node = tree.Resolve(dir["path"].get<std::string>());
        ASSERT_TRUE(node) << dir["path"];
        EXPECT_EQ(tree.Attr(*node).st_mode, S_IFDIR | 0555);
        std::uint64_t handle = 0;
        EXPECT_EQ(tree.Open(*node, handle), -EISDIR);
        std::string value;
        EXPECT_EQ(tree.GetXattr(*node, kRunsXattr, value), -ENODATA);
    }

    // Every deleted entry the walk meets is there, with its verdict and mark.
    std::size_t deleted = 0;
    std::vector<MountNode> stack{kMountRoot};
    while (!stack.empty()) {
        const MountNode node = stack.back();
        stack.pop_back();
        for (const MountNode child : tree.Children(node)) {
            EXPECT_EQ(tree.Lookup(node, tree.Name(child)), child);
            if (tree.IsFolder(child)) stack.push_back(child);
            const EntryId entry = tree.Entry(child);
            if (tree.IsFolder(child) || !parser.IsDeleted(entry)) continue;
            ++deleted;
            std::string value;
            ASSERT_EQ(tree.GetXattr(child, kDeletedXattr, value), 0);
            EXPECT_EQ(value, "1");
            ASSERT_EQ(tree.GetXattr(child, kVerdictXattr, value), 0);
            EXPECT_EQ(value, VerdictName(parser.Judge(entry).verdict));
        }
    }
    std::size_t walkedDeleted = 0;
    for (const ReportEntry& e : CollectReportEntries(parser))
        if (!parser.IsFolder(e.id) && parser.IsDeleted(e.id)) ++walkedDeleted;
    EXPECT_EQ(deleted, walkedDeleted);
    EXPECT_GT(deleted, 0u);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, MountTreeFixture,
                         ::testing::Values(std::pair{"fat32", "fat32"}, std::pair{"exfat", "exFat"},
                                           std::pair{"ext4", "extX"}),
                         [](const auto& info) { return std::string(info.param.first); });

TEST(MountTreeExt, LinksAreSymlinksWithTheirTargets) {
    const auto scanned = Scan("ext4", "extX");
    ASSERT_NE(scanned, nullptr);
    MountTree tree(*scanned->parser, {});
    int links = 0;
    const nlohmann::json manifest = test::ReadManifest("ext4");
    for (const auto& special : manifest["special_files"]) {
        if (!special.contains("target")) continue;
        ++links;
        const auto node = tree.Resolve(special["path"].get<std::string>());
        ASSERT_TRUE(node) << special["path"];
        const std::string expected = special["target"];
        const struct stat st = tree.Attr(*node);
        EXPECT_EQ(st.st_mode, S_IFLNK | 0777);
        EXPECT_EQ(static_cast<std::size_t>(st.st_size), expected.size());
        std::string target;
        ASSERT_EQ(tree.ReadLink(*node, target), 0);
        EXPECT_EQ(target, expected);
    }
    EXPECT_EQ(links, 2);
    std::string target;
    EXPECT_EQ(tree.ReadLink(*tree.Resolve("/docs/readme.txt"), target), -EINVAL);
}

// Names as a save gives them: trimmed, made safe, a later file of a taken name numbered, sibling folders of one
// name merged; a filter keeps its files and the folders leading to them only.
TEST(MountTreeNames, CollisionsAreNumberedAndFoldersMerge) {
    test::FakeParser parser;
    const EntryId photos = parser.Folder(0, "Photos");
    parser.File(photos, "IMG.JPG", "live");
    parser.File(photos, "IMG.JPG ", "deleted one", true);
    parser.File(photos, "IMG.JPG", "deleted two", true);
    parser.File(photos, "a/b", "slash");
    const EntryId again = parser.Folder(0, "Photos", true);
    parser.File(again, "IMG.JPG", "from the second folder", true);
    parser.File(again, "other.txt", "other", true);
    parser.File(0, "Docs", "a file first");
    const EntryId docs = parser.Folder(0, "Docs");
    parser.File(docs, "x.txt", "x");
    const EntryId empty = parser.Folder(0, "Empty");
    (void)empty;

    MountTree tree(parser, {});
    const auto read = [&](const std::string& path) {
        const auto node = tree.Resolve(path);
        return node ? ReadWhole(tree, *node, 3) : "missing " + path;
    };
    EXPECT_EQ(read("/Photos/IMG.JPG"), "live");
    EXPECT_EQ(read("/Photos/IMG (1).JPG"), "deleted one");
    EXPECT_EQ(read("/Photos/IMG (2).JPG"), "deleted two");
    EXPECT_EQ(read("/Photos/IMG (3).JPG"), "from the second folder");
    EXPECT_EQ(read("/Photos/a_b"), "slash");
    EXPECT_EQ(read("/Photos/other.txt"), "other");
    EXPECT_EQ(read("/Docs"), "a file first");
    EXPECT_EQ(read("/Docs (1)/x.txt"), "x");
    std::vector<std::string> top;
    for (const MountNode c : tree.Children(kMountRoot)) top.push_back(tree.Name(c));
    EXPECT_EQ(top, (std::vector<std::string>{"Photos", "Docs", "Docs (1)", "Empty"}));
    EXPECT_FALSE(tree.Resolve("/Photos/IMG.JPG/x"));

    MountTree deletedOnly(parser, {.deletedOnly = true});
    std::vector<std::string> names;
    for (const MountNode c : deletedOnly.Children(kMountRoot)) names.push_back(deletedOnly.Name(c));
    EXPECT_EQ(names, std::vector<std::string>{"Photos"});
    names.clear();
    for (const MountNode c : deletedOnly.Children(*deletedOnly.Resolve("/Photos")))
        names.push_back(deletedOnly.Name(c));
    EXPECT_EQ(names, (std::vector<std::string>{"IMG.JPG", "IMG (1).JPG", "IMG (2).JPG", "other.txt"}));

    Selection selection;
    selection.select = {"**/*.txt"};
    MountTree selected(parser, {.selection = &selection});
    EXPECT_TRUE(selected.Resolve("/Photos/other.txt"));
    EXPECT_TRUE(selected.Resolve("/Docs/x.txt"));
    EXPECT_EQ(selected.NodeCount(), 5u);  // root, the two folders, the two files
}

}  // namespace
}  // namespace salvora
