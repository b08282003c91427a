// The rules that decide HFS+ results, on hand-made nodes and small built volumes: record offsets, key name
// lengths, record IDs, dates, permission texts, names, a zero-byte file and the header failures. No fixtures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "fixture_util.h"
#include "fs/hfsplus/hfs_btree_node.h"
#include "fs/hfsplus/hfs_list_texts.h"
#include "fs/hfsplus/hfs_names.h"
#include "fs/hfsplus/hfsp.h"
#include "hfs_image_builder.h"
#include "hfs_scan_util.h"
#include "model/result_tree.h"

namespace salvora {
namespace {

using test::HfsImageBuilder;
using test::HfsTestRecord;

class StatusLog : public UiSink {
  public:
    std::vector<std::string> texts;
    MsgAnswer ShowMessage(const std::string&, const std::string&, MsgIcon, MsgButtons) override {
        return MsgAnswer::Ok;
    }
    void SetStatus(const std::string& text) override { texts.push_back(text); }
    void SetProgressRange(std::int64_t, std::int64_t) override {}
    void SetProgressPos(std::int64_t) override {}
};

// Sets TZ for one test and puts the old value back.
class ScopedTz {
  public:
    explicit ScopedTz(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old, had_ = true;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTz() {
        had_ ? ::setenv("TZ", old_.c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }

  private:
    std::string old_;
    bool had_ = false;
};

TEST(HfsRules, RecordOffsetsReadBackwardsFromTheNodeEnd) {
    std::vector<std::uint8_t> node(512, 0);
    auto put = [&](std::size_t at, std::uint16_t v) { node[at] = v >> 8, node[at + 1] = v & 0xFF; };
    put(510, 14);   // record 0
    put(508, 100);  // record 1
    put(506, 300);  // record 2
    put(504, 505);  // record 3: inside the offset table
    put(502, 4);    // record 4: inside the descriptor
    EXPECT_EQ(HfsRecordOffsets(node, 3), (std::vector<std::uint16_t>{14, 100, 300}));
    EXPECT_EQ(HfsRecordOffsets(node, 5), (std::vector<std::uint16_t>{14, 100, 300}));
    // A count larger than the node can hold does not read outside it.
    EXPECT_LE(HfsRecordOffsets(node, 0xFFFF).size(), (512u - 14) / 2);
}

TEST(HfsRules, LeafTestOfTheVolumeScan) {
    std::vector<std::uint8_t> node(4096, 0);
    node[8] = 0xFF, node[9] = 1, node[11] = 3, node[4094] = 0, node[4095] = 14;
    EXPECT_TRUE(LooksLikeCatalogLeaf(node));
    node[9] = 0;  // height 0
    EXPECT_FALSE(LooksLikeCatalogLeaf(node));
    node[9] = 1, node[10] = 0x03, node[11] = 0xE8;  // 1000 records
    EXPECT_FALSE(LooksLikeCatalogLeaf(node));
    node[10] = 0, node[11] = 3, node[4095] = 16;  // record 0 not at 14
    EXPECT_FALSE(LooksLikeCatalogLeaf(node));
}

TEST(HfsRules, DatesAreUtcShownInLocalTime) {
    {
        ScopedTz tz("UTC");
        EXPECT_EQ(FormatHfsDate(0), "01/01/1904  00:00 AM");
        // 2023-11-14 22:13:20 UTC
        EXPECT_EQ(FormatHfsDate(1700000000u + kHfsEpochToUnix), "11/14/2023  10:13 PM");
        EXPECT_EQ(FormatHfsDate(12 * 3600 + 30 * 60), "01/01/1904  12:30 AM");
    }
    ScopedTz tz("EST5");
    EXPECT_EQ(FormatHfsDate(0), "12/31/1903  07:00 PM");
}

TEST(HfsRules, PermissionTextKeepsItsOrder) {
    EXPECT_EQ(HfsPermissionText(0x1C0), "-Owner:X-Owner:W-Owner:R");
    EXPECT_EQ(HfsPermissionText(0x1FF), "-Owner:X-Owner:W-Owner:R-OX-OW-OR-GX-GW-GR");
    EXPECT_EQ(HfsPermissionText(0x8000 | 0x024), "-OR-GR");
    EXPECT_EQ(HfsPermissionText(0), "");
}

std::vector<std::uint8_t> Utf16Be(const std::u16string& s) {
    std::vector<std::uint8_t> out;
    for (const char16_t c : s) out.push_back(c >> 8), out.push_back(c & 0xFF);
    return out;
}

TEST(HfsRules, NamesComeOutComposedAndAsOneComponent) {
    EXPECT_EQ(HfsNameToUtf8(Utf16Be(u"Cafe\u0301.txt")), "Caf\u00e9.txt");
    EXPECT_EQ(HfsNameToUtf8(Utf16Be(u"a/b")), "a:b");
    EXPECT_EQ(HfsNameToUtf8(Utf16Be(u"\U0001F600")), "\xF0\x9F\x98\x80");
    EXPECT_EQ(HfsNameToUtf8(Utf16Be(u"x\xD800y")), "x\xEF\xBF\xBDy");
    const std::string priv = HfsNameToUtf8(Utf16Be(std::u16string(4, u'\0') + u"HFS+ Private Data"));
    EXPECT_EQ(priv, std::string("\0\0\0\0HFS+ Private Data", 21));
}

class HfsBuilt : public ::testing::Test {
  protected:
    bool Scan(const HfsImageBuilder& b, bool deep = false, std::uintmax_t truncateTo = 0) {
        path_ = b.WriteTemp(::testing::UnitTest::GetInstance()->current_test_info()->name());
        if (truncateTo) std::filesystem::resize_file(path_, truncateTo);
        tree_ = std::make_unique<ResultTree>();
        owned_ = std::make_unique<HFSP>();
        owned_->statusWindow = &log_;
        owned_->tree = tree_.get();
        return test::RunHfsScan(*owned_, reader_, path_, deep);
    }
    HFSP& parser() { return *owned_; }
    void TearDown() override {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove(path_, ec);
    }
    std::filesystem::path path_;
    FileReadSeek reader_;
    std::unique_ptr<ResultTree> tree_;
    std::unique_ptr<HFSP> owned_;
    StatusLog log_;
};

HfsTestRecord Folder(std::uint32_t id, std::u16string name, std::uint32_t parent = 2) {
    HfsTestRecord r;
    r.type = 1, r.id = id, r.name = std::move(name), r.parent = parent;
    return r;
}

HfsTestRecord File(std::uint32_t id, std::u16string name, std::uint32_t parent = 2) {
    HfsTestRecord r;
    r.type = 2, r.id = id, r.name = std::move(name), r.parent = parent;
    return r;
}

TEST_F(HfsBuilt, NameLengthsOutsideOneTo255AndIdZeroAreDropped) {
    HfsImageBuilder b;
    b.records.push_back(Folder(2, u"Vol", 1));
    auto zeroName = File(20, u"zero");
    zeroName.nameLengthField = 0;
    auto longName = File(21, std::u16string(256, u'n'));
    auto maxName = File(22, std::u16string(255, u'm'));
    b.records.push_back(zeroName);
    b.records.push_back(longName);
    b.records.push_back(maxName);
    b.records.push_back(File(0, u"noid"));
    b.records.push_back(File(23, u"kept"));
    ASSERT_TRUE(Scan(b));
    const auto paths = test::HfsPaths(parser());
    EXPECT_TRUE(paths.count("/kept"));
    EXPECT_TRUE(paths.count("/" + std::string(255, 'm')));
    EXPECT_FALSE(paths.count("/noid"));
    EXPECT_EQ(parser().Record(20), nullptr);
    EXPECT_EQ(parser().Record(21), nullptr);
    EXPECT_TRUE(paths.count("/ORPHAN_ENTRY"));
}

TEST_F(HfsBuilt, OrphansCirclesAndTheFirstLevel) {
    HfsImageBuilder b;
    b.records.push_back(Folder(2, u"Vol", 1));
    b.records.push_back(Folder(16, u"docs"));
    b.records.push_back(File(17, u"in-docs.txt", 16));
    b.records.push_back(File(18, u"lost.txt", 99));      // its folder is gone
    b.records.push_back(File(19, u"under-a-file", 17));  // its "folder" is a file
    b.records.push_back(Folder(30, u"loopA", 31));       // two folders that name each other as parent
    b.records.push_back(Folder(31, u"loopB", 30));
    b.records.push_back(File(32, u"in-loop.txt", 31));
    ASSERT_TRUE(Scan(b));
    const auto paths = test::HfsPaths(parser());
    EXPECT_TRUE(paths.count("/docs/in-docs.txt"));
    EXPECT_TRUE(paths.count("/ORPHAN_ENTRY/lost.txt"));
    EXPECT_TRUE(paths.count("/ORPHAN_ENTRY/under-a-file"));
    EXPECT_TRUE(parser().IsDeleted(18));
    EXPECT_FALSE(parser().IsDeleted(17));
    // Every record is reachable from the root, the circle included.
    std::size_t loopFiles = 0;
    for (const auto& [path, id] : paths) loopFiles += id == 32;
    EXPECT_EQ(loopFiles, 1u);
    // First level: the root folder's entries and "ORPHAN_ENTRY", with their status texts.
    std::vector<std::string> top;
    for (const ItemId item : tree_->Children(tree_->Root())) top.push_back(tree_->Item(item).text);
    EXPECT_EQ(tree_->Item(tree_->Root()).text, "ROOT");
    EXPECT_EQ(top, (std::vector<std::string>{"docs", "ORPHAN_ENTRY"}));
    EXPECT_TRUE(paths.count("/ORPHAN_ENTRY/loopA/loopB/in-loop.txt"));
    EXPECT_NE(std::find(log_.texts.begin(), log_.texts.end(), "found folder at Node 16"), log_.texts.end());
    EXPECT_NE(std::find(log_.texts.begin(), log_.texts.end(), "Maintaining Parent Child...."),
              log_.texts.end());
}

TEST_F(HfsBuilt, FolderLinksShowTheirFolderAndNeverLeadRoundInACircle) {
    const auto link = [](std::uint32_t id, std::u16string name, std::uint32_t parent, std::uint32_t linkId) {
        HfsTestRecord r = File(id, std::move(name), parent);
        r.finderType = 0x66647270;     // 'fdrp'
        r.finderCreator = 0x4D414353;  // 'MACS'
        r.special = linkId;
        return r;
    };
    HfsImageBuilder b;
    b.records.push_back(Folder(2, u"Vol", 1));
    b.records.push_back(Folder(40, u".HFS+ Private Directory Data\r"));
    b.records.push_back(Folder(41, u"dir_41", 40));
    b.records.push_back(File(42, u"in.txt", 41));
    b.records.push_back(link(43, u"back", 41, 41));  // a link to the folder that holds it
    b.records.push_back(Folder(50, u"Backups"));
    b.records.push_back(link(51, u"Snapshot1", 50, 41));
    b.records.push_back(link(52, u"Snapshot2", 50, 41));
    b.records.push_back(link(53, u"missing", 50, 99));  // its folder is not there
    ASSERT_TRUE(Scan(b));
    const auto paths = test::HfsPaths(parser());
    // Both snapshots show the shared folder's entries, as folders.
    EXPECT_TRUE(paths.count("/Backups/Snapshot1/in.txt"));
    EXPECT_TRUE(paths.count("/Backups/Snapshot2/in.txt"));
    EXPECT_TRUE(parser().IsFolder(51));
    EXPECT_FALSE(parser().IsWalkFile(51));
    EXPECT_FALSE(
        parser().ExtractFile(51, (std::filesystem::temp_directory_path() / "salvora-link").string()));
    // The link back into its own folder shows nothing, so no walk goes round; a link without its folder
    // stays the empty file it is.
    EXPECT_FALSE(parser().IsFolder(43));
    for (const auto& [path, id] : paths) EXPECT_EQ(path.find("back/"), std::string::npos) << path;
    EXPECT_FALSE(parser().IsFolder(53));
    EXPECT_TRUE(parser().IsWalkFile(53));
}

TEST_F(HfsBuilt, ZeroByteFileAndTimesAsStored) {
    ScopedTz tz("UTC");
    HfsImageBuilder b;
    b.records.push_back(Folder(2, u"Vol", 1));
    auto empty = File(20, u"empty.txt");
    empty.modifyDate = 1700000000u + kHfsEpochToUnix;
    empty.accessDate = 1600000000u + kHfsEpochToUnix;
    empty.mode = 0x81C0;
    b.records.push_back(empty);
    auto data = File(21, u"data.bin");
    data.size = 5000;
    data.extents = {{10, 2}};
    b.records.push_back(data);
    std::vector<std::uint8_t> bytes(8192);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 13);
    b.Data(10, bytes);
    ASSERT_TRUE(Scan(b));
    const auto out = std::filesystem::temp_directory_path() / "salvora-hfs-out-empty.txt";
    const auto out2 = std::filesystem::temp_directory_path() / "salvora-hfs-out-data.bin";
    std::filesystem::remove(out), std::filesystem::remove(out2);
    ASSERT_TRUE(parser().ExtractFile(20, out));
    EXPECT_EQ(std::filesystem::file_size(out), 0u);
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1700000000);
    EXPECT_EQ(st.st_atime, 1600000000);
    // An existing file is never overwritten.
    EXPECT_FALSE(parser().ExtractFile(20, out));
    ASSERT_TRUE(parser().ExtractFile(21, out2));
    std::ifstream in(out2, std::ios::binary);
    const std::vector<std::uint8_t> got{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(got, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 5000));
    const EntryTexts texts = parser().FormatEntryDetails(20);
    EXPECT_EQ(texts.created, "01/01/1904  00:00 AM");
    EXPECT_EQ(texts.modified, "11/14/2023  10:13 PM");
    EXPECT_EQ(texts.attributes, "-Owner:X-Owner:W-Owner:R");
    EXPECT_EQ(parser().FormatEntrySize(21), "4.88 KB");
    EXPECT_FALSE(parser().ExtractFile(2, out));  // folders write nothing
    std::filesystem::remove(out), std::filesystem::remove(out2);
}

TEST_F(HfsBuilt, ExtentsPastTheVolumeAreNotRead) {
    HfsImageBuilder b;
    b.records.push_back(Folder(2, u"Vol", 1));
    auto wild = File(20, u"wild.bin");
    wild.size = 1ull << 40;
    wild.extents = {{30, 0xFFFFFFF0u}};
    b.records.push_back(wild);
    ASSERT_TRUE(Scan(b));
    const auto runs = parser().ForkRuns(parser().Record(20)->extents, 1ull << 40, 20);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].offset + runs[0].bytes, 32u * 4096);
}

TEST_F(HfsBuilt, WrongSignatureAborts) {
    HfsImageBuilder b;
    b.signature[0] = 'B', b.signature[1] = 'D';  // plain HFS
    b.records.push_back(Folder(2, u"Vol", 1));
    EXPECT_FALSE(Scan(b));
    HfsImageBuilder x;
    x.signature[1] = 'X';
    x.records.push_back(Folder(2, u"Vol", 1));
    EXPECT_TRUE(Scan(x));
}

TEST_F(HfsBuilt, BlockSizeZeroAbortsBothModes) {
    HfsImageBuilder b;
    b.blockSize = 0;
    b.records.push_back(Folder(2, u"Vol", 1));
    EXPECT_FALSE(Scan(b));
    EXPECT_FALSE(Scan(b, true));
    EXPECT_EQ(log_.texts.back(), "BlockSize not valid .Aborting..");
}

TEST_F(HfsBuilt, NodeSizeThatIsNoNodeAborts) {
    HfsImageBuilder b;
    b.nodeSize = 4096;
    b.records.push_back(Folder(2, u"Vol", 1));
    auto img = b;
    img.nodeSize = 3000;  // not a power of two
    EXPECT_FALSE(Scan(img));
    EXPECT_FALSE(Scan(img, true));
    EXPECT_EQ(log_.texts.back(), "BlockSize not valid .Aborting..");
    // A volume smaller than one node.
    HfsImageBuilder small;
    small.blockSize = 512, small.totalBlocks = 64;
    small.records.push_back(Folder(2, u"Vol", 1));
    EXPECT_FALSE(Scan(small, true, 3000));
    EXPECT_EQ(log_.texts.back(), "BlockSize not valid .Aborting..");
}

TEST_F(HfsBuilt, FreeNodesDoNotEndTheNodeWalk) {
    HfsImageBuilder b;
    b.freeNodesBeforeLeaf = 2;
    b.records.push_back(Folder(2, u"Vol", 1));
    b.records.push_back(File(20, u"after-free-nodes.txt"));
    ASSERT_TRUE(Scan(b));
    EXPECT_TRUE(test::HfsPaths(parser()).count("/after-free-nodes.txt"));
}

TEST_F(HfsBuilt, DeepScanFindsTheSameLeaf) {
    HfsImageBuilder b;
    b.blockSize = 2048, b.nodeSize = 4096, b.totalBlocks = 64;  // the catalog starts at an odd block
    b.records.push_back(Folder(2, u"Vol", 1));
    b.records.push_back(File(20, u"f.txt"));
    ASSERT_TRUE(Scan(b, true));
    EXPECT_TRUE(test::HfsPaths(parser()).count("/f.txt"));
}

TEST_F(HfsBuilt, ResourceForksAreEntriesOfTheirOwnAndSymlinksAreLinks) {
    HfsImageBuilder b;
    b.records.push_back(Folder(2, u"Vol", 1));
    // An old Mac file whose content is all in its resource fork.
    std::vector<std::uint8_t> rsrc(5000);
    for (std::size_t i = 0; i < rsrc.size(); ++i) rsrc[i] = static_cast<std::uint8_t>(i * 7 + 3);
    auto font = File(20, u"Chicago");
    font.rsrcSize = rsrc.size(), font.rsrcExtents = {{10, 2}};
    b.Data(10, rsrc);
    b.records.push_back(font);
    // A symbolic link as the kernel and macOS write it: S_IFLNK, 'slnk'/'rhap', the target in the data fork.
    const std::string target = "../Shared/readme.txt";
    auto link = File(21, u"readme link");
    link.mode = 0xA1ED, link.finderType = 0x736C6E6B, link.finderCreator = 0x72686170;
    link.size = target.size(), link.extents = {{12, 1}};
    b.Data(12, std::vector<std::uint8_t>(target.begin(), target.end()));
    b.records.push_back(link);
    ASSERT_TRUE(Scan(b));

    const auto paths = test::HfsPaths(parser());
    ASSERT_TRUE(paths.count("/Chicago"));
    ASSERT_TRUE(paths.count("/Chicago:rsrc"));
    EXPECT_EQ(parser().EntrySizeBytes(paths.at("/Chicago")), 0u);
    EXPECT_EQ(parser().EntrySizeBytes(paths.at("/Chicago:rsrc")), rsrc.size());
    const auto out = std::filesystem::temp_directory_path() / ("salvora-rsrc-" + std::to_string(::getpid()));
    std::filesystem::remove(out);
    ASSERT_TRUE(parser().ExtractFile(paths.at("/Chicago:rsrc"), out.string()));
    EXPECT_EQ(test::ReadAll(out), std::string(rsrc.begin(), rsrc.end()));
    std::filesystem::remove(out);

    EXPECT_EQ(parser().LinkTarget(paths.at("/readme link")), target);
    EXPECT_FALSE(parser().LinkTarget(paths.at("/Chicago")));
}

}  // namespace
}  // namespace salvora
