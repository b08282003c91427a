// The rules that decide what an ext scan lists and saves, on hand-made blocks and on altered copies of the
// fixtures: block maps with holes, deep and looping maps, directory blocks, superblock search, group count,
// times. Needs the ext fixtures (zstd).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "fixture_util.h"
#include "fs/ext/ext_block_map.h"
#include "fs/ext/ext_dir_entry.h"
#include "fs/ext/ext_extent.h"
#include "fs/ext/ext_inode.h"
#include "fs/ext/ext_scan_util.h"
#include "fs/ext/ext_superblock.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using Block = std::vector<std::uint8_t>;

void Put16(Block& b, std::size_t at, std::uint16_t v) {
    b[at] = v & 0xFF;
    b[at + 1] = v >> 8;
}
void Put32(Block& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = (v >> (8 * i)) & 0xFF;
}

// A volume of 1 KiB blocks held in memory; counts how often each block is read.
struct FakeVolume {
    std::map<std::uint64_t, Block> blocks;
    std::map<std::uint64_t, int> reads;
    ExtBlockReader Reader() {
        return [this](std::uint64_t n, Block& out) {
            ++reads[n];
            const auto it = blocks.find(n);
            out = it == blocks.end() ? Block(1024, 0) : it->second;
            return true;
        };
    }
};

void ExtentHeader(Block& node, std::size_t at, std::uint16_t entries, std::uint16_t depth) {
    Put16(node, at, kExtExtentMagic);
    Put16(node, at + 2, entries);
    Put16(node, at + 4, 4);
    Put16(node, at + 6, depth);
}
void ExtentLeaf(Block& node, std::size_t at, std::uint32_t logical, std::uint16_t count,
                std::uint64_t physical) {
    Put32(node, at, logical);
    Put16(node, at + 4, count);
    Put16(node, at + 6, static_cast<std::uint16_t>(physical >> 32));
    Put32(node, at + 8, static_cast<std::uint32_t>(physical));
}
void ExtentIndex(Block& node, std::size_t at, std::uint32_t logical, std::uint64_t child) {
    Put32(node, at, logical);
    Put32(node, at + 4, static_cast<std::uint32_t>(child));
    Put16(node, at + 8, static_cast<std::uint16_t>(child >> 32));
}

TEST(ExtBlockMap, BlocksLandAtTheirLogicalPositionsAroundHoles) {
    Block map(60, 0);
    Put32(map, 0, 100);   // block 0
    Put32(map, 8, 102);   // block 2; block 1 is a hole
    Put32(map, 12, 103);  // block 3, contiguous with 2
    FakeVolume v;
    const auto runs = MapExtBlocks(map, false, {1024, 1000, 5}, v.Reader());
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].logicalBlock, 0u);
    EXPECT_EQ(runs[0].blockCount, 1u);
    EXPECT_EQ(runs[1].logicalBlock, 2u);
    EXPECT_EQ(runs[1].physicalBlock, 102u);
    EXPECT_EQ(runs[1].blockCount, 2u);
}

TEST(ExtBlockMap, DoubleIndirectBlocksMapPastTheSingleIndirectRange) {
    Block map(60, 0);
    Put32(map, 4 * 13, 500);  // double indirect
    FakeVolume v;
    v.blocks[500] = Block(1024, 0);
    Put32(v.blocks[500], 4, 501);  // second pointer block: logical 12 + 256 + 256
    v.blocks[501] = Block(1024, 0);
    Put32(v.blocks[501], 0, 700);
    const auto runs = MapExtBlocks(map, false, {1024, 1000, 12 + 256 + 256 * 256}, v.Reader());
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].logicalBlock, 12u + 256 + 256);
    EXPECT_EQ(runs[0].physicalBlock, 700u);
}

TEST(ExtBlockMap, ALoopingIndirectBlockEndsAndIsReadOnce) {
    Block map(60, 0);
    Put32(map, 4 * 13, 500);  // double indirect pointing at itself, and a triple one through it
    Put32(map, 4 * 14, 500);
    FakeVolume v;
    v.blocks[500] = Block(1024, 0);
    for (int i = 0; i < 256; ++i) Put32(v.blocks[500], 4 * i, 500);
    const auto runs = MapExtBlocks(map, false, {1024, 1000, 1ull << 40}, v.Reader());
    EXPECT_EQ(v.reads[500], 1);
    EXPECT_TRUE(runs.empty());
}

TEST(ExtBlockMap, BlockNumbersOutsideTheVolumeAreHoles) {
    Block map(60, 0);
    Put32(map, 0, 5000);
    Put32(map, 4, 10);
    FakeVolume v;
    const auto runs = MapExtBlocks(map, false, {1024, 1000, 2}, v.Reader());
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].logicalBlock, 1u);
}

TEST(ExtBlockMap, DeepExtentTreesAreFollowedToTheirLeaves) {
    // Root (depth 2) -> index node 300 (depth 1) -> leaves 301 and 302; 48-bit block numbers.
    Block root(60, 0);
    ExtentHeader(root, 0, 1, 2);
    ExtentIndex(root, 12, 0, 300);
    FakeVolume v;
    v.blocks[300] = Block(1024, 0);
    ExtentHeader(v.blocks[300], 0, 2, 1);
    ExtentIndex(v.blocks[300], 12, 0, 301);
    ExtentIndex(v.blocks[300], 24, 10, 302);
    v.blocks[301] = Block(1024, 0);
    ExtentHeader(v.blocks[301], 0, 1, 0);
    ExtentLeaf(v.blocks[301], 12, 0, 4, 0x100000010ull);
    v.blocks[302] = Block(1024, 0);
    ExtentHeader(v.blocks[302], 0, 2, 0);
    ExtentLeaf(v.blocks[302], 12, 10, 2, 900);
    ExtentLeaf(v.blocks[302], 24, 14, 32768 + 3, 950);  // unwritten: zeros
    const auto runs = MapExtBlocks(root, true, {1024, 0x200000000ull, 20}, v.Reader());
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].physicalBlock, 0x100000010ull);  // the high 16 bits count
    EXPECT_EQ(runs[1].logicalBlock, 10u);
    EXPECT_EQ(runs[1].physicalBlock, 900u);
    EXPECT_TRUE(runs[2].unwritten);
    EXPECT_EQ(runs[2].blockCount, 3u);
}

TEST(ExtBlockMap, ExtentTreesThatLoopOrClaimTooMuchDepthEnd) {
    Block root(60, 0);
    ExtentHeader(root, 0, 1, 1);
    ExtentIndex(root, 12, 0, 300);
    FakeVolume v;
    v.blocks[300] = Block(1024, 0);  // claims depth 1 again and points at itself: wrong depth, not followed
    ExtentHeader(v.blocks[300], 0, 1, 1);
    ExtentIndex(v.blocks[300], 12, 0, 300);
    EXPECT_TRUE(MapExtBlocks(root, true, {1024, 1000, 100}, v.Reader()).empty());
    EXPECT_EQ(v.reads[300], 1);

    Block tooDeep(60, 0);
    ExtentHeader(tooDeep, 0, 1, 6);
    ExtentIndex(tooDeep, 12, 0, 300);
    EXPECT_TRUE(MapExtBlocks(tooDeep, true, {1024, 1000, 100}, v.Reader()).empty());
    EXPECT_EQ(v.reads[300], 1);
}

// ---- directory blocks

Block DirBlock() { return Block(1024, 0); }
std::size_t DirRecord(Block& b, std::size_t at, std::uint32_t inode, std::uint16_t recordBytes,
                      const std::string& name, std::uint8_t type) {
    Put32(b, at, inode);
    Put16(b, at + 4, recordBytes);
    b[at + 6] = static_cast<std::uint8_t>(name.size());
    b[at + 7] = type;
    std::memcpy(&b[at + 8], name.data(), name.size());
    return at + recordBytes;
}

TEST(ExtDirBlock, ANameLengthOfZeroEndsTheBlock) {
    Block b = DirBlock();
    std::size_t at = DirRecord(b, 0, 20, 16, "first", 1);
    at = DirRecord(b, at, 21, 16, "", 1);
    DirRecord(b, at, 22, 1024 - at, "after", 1);
    std::vector<ExtDirName> names;
    WalkExtDirBlock(b, {100, 11, true}, false, names);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].name, "first");
}

TEST(ExtDirBlock, RemovedRecordsInTheSlackAreFoundAsDeleted) {
    Block b = DirBlock();
    DirRecord(b, 0, 12, 12, ".", 2);
    DirRecord(b, 12, 2, 12, "..", 2);
    // "kept" swallowed "gone" (removed) and "older" (removed before it, inside gone's own slack).
    DirRecord(b, 24, 30, 1000, "kept", 1);
    DirRecord(b, 36, 31, 40, "gone\xc3\xa9", 1);
    DirRecord(b, 52, 32, 24, "older", 2);
    std::vector<ExtDirName> names;
    WalkExtDirBlock(b, {100, 11, true}, false, names);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_FALSE(names[0].deleted);
    EXPECT_EQ(names[1].name, "gone\xc3\xa9");  // bytes kept as they are
    EXPECT_TRUE(names[1].deleted);
    EXPECT_EQ(names[1].inode, 31u);
    EXPECT_EQ(names[2].name, "older");
    EXPECT_EQ(names[2].fileType, 2);
}

TEST(ExtDirBlock, ARemovedRecordOpeningABlockKeepsItsNameWithoutAnInode) {
    Block b = DirBlock();
    DirRecord(b, 0, 0, 20, "first.txt", 1);  // removed: nothing before it to merge into
    DirRecord(b, 20, 40, 1024 - 20, "live", 1);
    std::vector<ExtDirName> names;
    WalkExtDirBlock(b, {100, 11, true}, false, names);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].name, "first.txt");
    EXPECT_EQ(names[0].inode, 0u);
    EXPECT_TRUE(names[0].deleted);
    EXPECT_FALSE(names[1].deleted);
}

TEST(ExtDirBlock, ImplausibleSlackIsNotAName) {
    Block b = DirBlock();
    DirRecord(b, 0, 30, 1024, "kept", 1);
    DirRecord(b, 12, 5000, 20, "big", 1);  // inode past the count
    DirRecord(b, 32, 31, 20, "typ", 9);    // no such file type
    DirRecord(b, 52, 3, 20, "res", 1);     // a reserved inode
    DirRecord(b, 72, 31, 18, "odd", 1);    // record length not a multiple of 4
    DirRecord(b, 92, 31, 20, "a/b", 1);    // a slash
    std::vector<ExtDirName> names;
    WalkExtDirBlock(b, {100, 11, true}, false, names);
    EXPECT_EQ(names.size(), 1u);
}

TEST(ExtDirBlock, TheHashIndexAfterDotDotIsNotReadForNames) {
    Block b = DirBlock();
    DirRecord(b, 0, 12, 12, ".", 2);
    DirRecord(b, 12, 2, 1012, "..", 2);
    DirRecord(b, 40, 31, 20, "ghost", 1);
    std::vector<ExtDirName> names;
    WalkExtDirBlock(b, {100, 11, true}, true, names);
    EXPECT_TRUE(names.empty());
    WalkExtDirBlock(b, {100, 11, true}, false, names);
    EXPECT_EQ(names.size(), 1u);
}

TEST(ExtSuperblockDecode, GroupCountTakesThePartialLastGroup) {
    ExtSuperblock sb;
    sb.blockCount = 8192;
    sb.firstDataBlock = 1;
    sb.blocksPerGroup = 8192;
    EXPECT_EQ(sb.GroupCount(), 1u);  // a volume smaller than one group
    sb.blockCount = 32768;
    EXPECT_EQ(sb.GroupCount(), 4u);
    sb.blockCount = 32768 + 2;
    EXPECT_EQ(sb.GroupCount(), 5u);
}

TEST(ExtSuperblockDecode, MetaBgDescriptorBlocksSitAtTheStartOfTheGroupsTheyDescribe) {
    ExtSuperblock sb;
    sb.logBlockSize = 0;  // 1 KiB blocks: 16 descriptors of 64 bytes per block
    sb.firstDataBlock = 1;
    sb.blocksPerGroup = 2048;
    sb.incompatFeatures = kExtIncompat64Bit;
    sb.descriptorBytesRaw = 64;
    EXPECT_EQ(ExtDescriptorBlock(sb, 1, 2), 3u);  // laid out after the superblock
    sb.incompatFeatures |= kExtIncompatMetaBg;
    sb.roCompatFeatures = kExtRoCompatSparseSuper;
    EXPECT_EQ(ExtDescriptorBlock(sb, 0, 2), 2u);              // group 0, behind its superblock
    EXPECT_EQ(ExtDescriptorBlock(sb, 1, 2), 1u + 16 * 2048);  // group 16 keeps no superblock copy
    EXPECT_EQ(ExtDescriptorBlock(sb, 3, 2), 1u + 48 * 2048);  // nor does 48
    sb.firstMetaBg = 2;
    EXPECT_EQ(ExtDescriptorBlock(sb, 1, 2), 3u);  // below firstMetaBg: the old layout
    EXPECT_EQ(ExtDescriptorBlock(sb, 2, 2), 1u + 32 * 2048);
    for (const std::uint64_t g : {0u, 1u, 3u, 5u, 7u, 9u, 25u, 27u, 49u, 125u, 343u})
        EXPECT_TRUE(sb.GroupHasSuperblock(g)) << g;
    for (const std::uint64_t g : {2u, 4u, 6u, 15u, 16u, 21u, 35u, 48u, 50u})
        EXPECT_FALSE(sb.GroupHasSuperblock(g)) << g;
    sb.roCompatFeatures = 0;  // without sparse_super every group has one
    sb.firstMetaBg = 0;
    EXPECT_TRUE(sb.GroupHasSuperblock(16));
    EXPECT_EQ(ExtDescriptorBlock(sb, 1, 2), 2u + 16 * 2048);
}

TEST(ExtInodeDecode, TimesPast2038UseTheExtraEpochBits) {
    Block slot(256, 0);
    Put16(slot, 0x80, 32);
    Put32(slot, 0x10, 0x10);
    Put32(slot, 0x88, 1 | (500u << 2));
    const ExtInode inode = DecodeExtInode(slot);
    EXPECT_EQ(inode.modified.tv_sec, (1ll << 32) + 0x10);
    EXPECT_EQ(inode.modified.tv_nsec, 500);
}

// ---- whole volumes

fs::path CopyFixture(const std::string& name, const std::string& suffix) {
    const fs::path copy =
        fs::temp_directory_path() / ("salvora-ext-" + suffix + "-" + std::to_string(::getpid()));
    fs::copy_file(test::Fixture(name), copy, fs::copy_options::overwrite_existing);
    return copy;
}

TEST(ExtVolume, TheSuperblockIsFoundBehindADamagedFirstCopy) {
    const fs::path copy = CopyFixture("ext4-64bit.img", "damaged");
    {
        std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(1024);
        const std::string zeros(1024, '\0');
        f.write(zeros.data(), zeros.size());
    }
    FileReadSeek reader;
    ext2Class parser;
    ResultTree tree;
    parser.tree = &tree;
    ASSERT_TRUE(test::RunExtScan(parser, reader, copy.string(), fs::file_size(copy)));
    EXPECT_EQ(parser.SuperblockOffset(), 8193u * 1024);  // group 1's backup
    std::multimap<std::string, test::ExtListed> listed;
    test::CollectExt(parser, parser.RootEntry(), "", listed);
    EXPECT_TRUE(listed.count("/docs/readme.txt"));
    EXPECT_TRUE(listed.count("/a/b/c/d/deep.txt"));
    fs::remove(copy);
}

TEST(ExtVolume, NoSuperblockMeansNoScan) {
    const fs::path copy = CopyFixture("ext2.img", "nosb");  // one group: no backup copy
    {
        std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(1024 + 0x38);
        f.write("\0\0", 2);
    }
    FileReadSeek reader;
    ext2Class parser;
    EXPECT_FALSE(test::RunExtScan(parser, reader, copy.string(), fs::file_size(copy)));
    fs::remove(copy);
}

TEST(ExtVolume, SixtyFourByteDescriptorsAndEveryGroupAreRead) {
    FileReadSeek reader;
    ext2Class parser;
    const fs::path image = test::Fixture("ext4-64bit.img");
    ASSERT_TRUE(test::RunExtScan(parser, reader, image.string(), fs::file_size(image)));
    EXPECT_EQ(parser.Superblock().DescriptorBytes(), 64u);
    ASSERT_EQ(parser.GroupCount(), 4u);
    // Each group's inode table lies inside the volume (32-byte steps would read garbage from the second on).
    for (const auto& g : parser.Groups()) {
        EXPECT_GT(g.inodeTableBlock, 0u);
        EXPECT_LT(g.inodeTableBlock, parser.Superblock().blockCount);
    }
}

TEST(ExtVolume, APartitionIsReadFromItsStartSector) {
    const auto manifest = test::ReadManifest("mbr.img");
    for (const auto& part : manifest["partitions"]) {
        if (part.value("filesystem", "") != "ext4") continue;
        FileReadSeek reader;
        ext2Class parser;
        ASSERT_TRUE(test::RunExtScan(parser, reader, test::Fixture("mbr.img").string(),
                                     part["sector_count"].get<std::uint64_t>() * 512,
                                     part["start_sector"].get<std::uint64_t>()));
        std::multimap<std::string, test::ExtListed> listed;
        test::CollectExt(parser, parser.RootEntry(), "", listed);
        for (const auto& f : part["files"]) {
            const auto it = listed.find(f["path"].get<std::string>());
            ASSERT_NE(it, listed.end()) << f["path"];
            EXPECT_EQ(it->second.deleted, f["deleted"].get<bool>()) << f["path"];
        }
    }
}

class ExtFile : public ::testing::Test {
  protected:
    void SetUp() override {
        image = test::Fixture("ext4.img");
        parser.tree = &tree;
        ASSERT_TRUE(test::RunExtScan(parser, reader, image.string(), fs::file_size(image)));
        test::CollectExt(parser, parser.RootEntry(), "", listed);
        dir = fs::temp_directory_path() / ("salvora-extfile-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    EntryId Id(const std::string& path) {
        const auto it = listed.find(path);
        return it == listed.end() ? kExtNoEntry : it->second.id;
    }
    fs::path image, dir;
    FileReadSeek reader;
    ResultTree tree;
    ext2Class parser;
    std::multimap<std::string, test::ExtListed> listed;
};

TEST_F(ExtFile, TenThousandBytesAreTwoBlocksAndACutThird) {
    const fs::path dest = dir / "ten";
    ASSERT_TRUE(parser.ExtractFile(Id("/sizes/ten_thousand.bin"), dest.string()));
    EXPECT_EQ(fs::file_size(dest), 4096u + 4096 + 1808);
}

TEST_F(ExtFile, TheStoredUtcTimesAreSetAsTheyAre) {
    const fs::path dest = dir / "deep";
    ASSERT_TRUE(parser.ExtractFile(Id("/a/b/c/d/deep.txt"), dest.string()));
    struct stat st {};
    ASSERT_EQ(::stat(dest.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1700000000 - 86400);  // the fixture's frozen time, a day before
    EXPECT_EQ(st.st_atime, 1700000000 - 86400);
}

TEST_F(ExtFile, AnExistingFileIsNeverOverwritten) {
    const fs::path dest = dir / "taken";
    { std::ofstream(dest) << "mine"; }
    EXPECT_FALSE(parser.ExtractFile(Id("/docs/readme.txt"), dest.string()));
    EXPECT_EQ(fs::file_size(dest), 4u);
}

TEST_F(ExtFile, AFileNamedInTwoFoldersIsListedInBoth) {
    const auto* a = parser.Record(Id("/docs/readme.txt"));
    const auto* b = parser.Record(Id("/links/hard_link.txt"));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->inodeNumber, b->inodeNumber);
    EXPECT_NE(a->parentInode, b->parentInode);
    EXPECT_FALSE(b->deleted);
}

TEST_F(ExtFile, FoldersAndFilesFollowTheModeTypeNotASingleBit) {
    EXPECT_TRUE(parser.IsSaveFolder(Id("/docs")));
    EXPECT_TRUE(parser.IsWalkFile(Id("/docs/readme.txt")));
    EXPECT_FALSE(parser.IsWalkFolder(Id("/docs/readme.txt")));
    EXPECT_EQ(parser.FormatEntrySize(Id("/sizes/ten_thousand.bin")), "9.77 KB");
    EXPECT_EQ(parser.FormatEntryTimes(Id("/docs")).attributes, "");
}

}  // namespace
}  // namespace salvora
