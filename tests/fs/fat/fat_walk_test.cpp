// The FAT16 and FAT32 standard runs over small images built in the test: which entries become records, under
// which folder, with which names, and how broken chains and directories end. Needs a temporary directory.
#include <gtest/gtest.h>

#include <algorithm>

#include "fat_image_builder.h"
#include "fat_scan_util.h"
#include "fs/fat/fat16_class.h"
#include "fs/fat/fat32_class.h"

namespace salvora {
namespace {

using test::ChildNames;
using test::FatImageBuilder;
using test::FindPath;
using test::RunStandard;
using test::ShortSlot;

template <class Parser>
struct Kind;
template <>
struct Kind<Fat16Class> {
    static constexpr FatKind value = FatKind::Fat16;
};
template <>
struct Kind<Fat32Class> {
    static constexpr FatKind value = FatKind::Fat32;
};

template <class Parser>
class FatWalk : public ::testing::Test {
  protected:
    static constexpr FatKind kKind = Kind<Parser>::value;
    auto Scan(const FatImageBuilder& b, const std::string& name, bool formatted = false) {
        return RunStandard<Parser>(b.Write(name + (kKind == FatKind::Fat16 ? "-16" : "-32")), 0, formatted);
    }
};
using Parsers = ::testing::Types<Fat16Class, Fat32Class>;
TYPED_TEST_SUITE(FatWalk, Parsers);

TYPED_TEST(FatWalk, NestedTreeWithLongAndDeletedNames) {
    FatImageBuilder b(this->kKind);
    auto root = b.Root();
    b.Append(root, ShortSlot("VOLLABEL   ", 0x08, 0, 0));
    b.AddFile(root, "README  TXT", test::Pattern(100, 1));
    auto docs = b.AddDir(root, "DOCUME~1   ", u"Documents");
    b.AddFile(docs, "LETTER~1DOC", test::Pattern(1500, 2), 0x20, u"Letter to Bob.doc");
    auto deepDir = b.AddDir(docs, "DEEP       ");
    b.AddFile(deepDir, "A       BIN", test::Pattern(10, 3));
    const auto gone = b.Allocate(1);
    b.Append(docs, test::LongNameSlots(u"old photo.jpg"));
    b.Append(docs, test::Deleted(ShortSlot("OLDPHO~1JPG", 0x20, gone, 300)));
    // a deleted long-name run before a live short entry belongs to an older file
    b.Append(docs, test::Deleted(test::LongNameSlots(u"stale name.txt")[0]));
    b.AddFile(docs, "NEW     TXT", test::Pattern(5, 4));

    auto s = this->Scan(b, "nested");
    ASSERT_TRUE(s->bootOk);
    const auto& p = s->parser;
    EXPECT_EQ(p.EntryName(0), "DUMMY ENTRY");
    EXPECT_EQ(ChildNames(p, 0), (std::vector<std::string>{"README.TXT", "Documents"}));
    const auto docsId = FindPath(p, "/Documents");
    ASSERT_TRUE(docsId);
    EXPECT_TRUE(p.IsFolder(*docsId));
    EXPECT_EQ(ChildNames(p, *docsId),
              (std::vector<std::string>{"Letter to Bob.doc", "DEEP", "old photo.jpg", "NEW.TXT"}));
    const auto photo = FindPath(p, "/Documents/old photo.jpg");
    ASSERT_TRUE(photo);
    EXPECT_TRUE(p.IsDeleted(*photo));
    EXPECT_FALSE(p.IsDeleted(*FindPath(p, "/Documents/NEW.TXT")));
    EXPECT_TRUE(FindPath(p, "/Documents/DEEP/A.BIN"));
    EXPECT_EQ(p.EntrySizeBytes(*FindPath(p, "/Documents/Letter to Bob.doc")), 1500u);
}

TYPED_TEST(FatWalk, LongNameRunBrokenByAForeignSlotNamesEachEntryApart) {
    FatImageBuilder b(this->kKind);
    auto root = b.Root();
    auto run = test::LongNameSlots(u"abcdefghijklmnopqrstuvwxyz.txt");  // three slots
    b.Append(root, run[0]);
    b.Append(root, run[1]);
    b.AddFile(root, "FOREIGN TXT", test::Pattern(4, 1));  // takes the broken run's pieces
    b.Append(root, run[2]);
    b.AddFile(root, "OTHER   TXT", test::Pattern(4, 2));
    auto s = this->Scan(b, "broken-run");
    EXPECT_EQ(ChildNames(s->parser, 0), (std::vector<std::string>{"nopqrstuvwxyz.txt", "abcdefghijklm"}));
}

TYPED_TEST(FatWalk, DuplicateFirstClusterGivesOneRecordNamedByTheLaterEntry) {
    FatImageBuilder b(this->kKind);
    auto root = b.Root();
    auto dir = b.AddDir(root, "FIRST      ");
    b.AddFile(dir, "INSIDE  TXT", test::Pattern(3, 1));
    b.Append(root, ShortSlot("SECOND     ", 0x10, dir.clusters[0], 0));
    auto s = this->Scan(b, "dup-cluster");
    const auto& p = s->parser;
    EXPECT_EQ(ChildNames(p, 0), (std::vector<std::string>{"SECOND"}));
    EXPECT_TRUE(FindPath(p, "/SECOND/INSIDE.TXT"));
}

TYPED_TEST(FatWalk, DirectoryWhoseFirstClusterLacksDotYieldsNoChildren) {
    FatImageBuilder b(this->kKind);
    auto root = b.Root();
    auto dir = b.AddDir(root, "BROKEN     ");
    b.AddFile(dir, "LOST    TXT", test::Pattern(3, 1));
    b.image[b.ClusterOffset(dir.clusters[0])] = 'X';  // the "." slot overwritten
    auto s = this->Scan(b, "no-dot");
    const auto id = FindPath(s->parser, "/BROKEN");
    ASSERT_TRUE(id);
    EXPECT_TRUE(test::Children(s->parser, *id).empty());
}

TYPED_TEST(FatWalk, LoopingAndCrossLinkedChainsEndAndAreReadOnce) {
    FatImageBuilder b(this->kKind);
    auto root = b.Root();
    auto loop = b.AddDir(root, "LOOP       ");
    for (int i = 0; i < 40; ++i)
        b.AddFile(loop, "F" + std::to_string(100 + i) + "    TXT", test::Pattern(1, 1));
    ASSERT_GE(loop.clusters.size(), 3u);
    b.SetFat(loop.clusters.back(), loop.clusters[0]);  // the chain loops back to its start
    // a second folder cross-linked into the middle of the first one's chain
    b.Append(root, ShortSlot("CROSS      ", 0x10, loop.clusters[1], 0));
    // a folder inside LOOP pointing at its ancestor
    b.Append(loop, ShortSlot("UP         ", 0x10, loop.clusters[0], 0));
    auto s = this->Scan(b, "loops");
    const auto& p = s->parser;
    const auto loopId = FindPath(p, "/LOOP");
    ASSERT_TRUE(loopId);
    const auto names = ChildNames(p, *loopId);
    EXPECT_EQ(std::count(names.begin(), names.end(), "F100.TXT"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "F139.TXT"), 1);
    const auto cross = FindPath(p, "/CROSS");
    ASSERT_TRUE(cross);
    EXPECT_TRUE(test::Children(p, *cross).empty());
}

TYPED_TEST(FatWalk, Attribute0x17IsAFileAndRootFilesOfAnyAttributesAreTopLevel) {
    FatImageBuilder b(this->kKind);
    auto root = b.Root();
    b.Append(root, ShortSlot("LABEL      ", 0x08, 0, 0));
    auto odd = b.AddDir(root, "ODD        ", {}, 0x17);
    b.AddFile(odd, "HIDDEN  TXT", test::Pattern(3, 1));
    b.AddFile(root, "RO      TXT", test::Pattern(3, 2), 0x21);
    b.AddFile(root, "PLAIN   TXT", test::Pattern(3, 3), 0x00);
    b.AddDir(root, "SYSDIR     ", {}, 0x14);
    b.AddDir(root, "HIDDIR     ", {}, 0x12);
    b.AddDir(root, "ARCDIR     ", {}, 0x30);
    auto s = this->Scan(b, "attributes");
    const auto& p = s->parser;
    const auto oddId = FindPath(p, "/ODD.   ");  // a file's 8.3 tidying (FAT32 trims the blanks)
    const auto oddName = p.EntryName(test::Children(p, 0).at(0));
    EXPECT_FALSE(p.IsFolder(test::Children(p, 0).at(0))) << oddName;
    EXPECT_TRUE(p.IsWalkFile(test::Children(p, 0).at(0)));
    (void)oddId;

    std::vector<std::string> topLevel;
    for (ItemId item : s->tree.Children(s->parser.RootItem())) topLevel.push_back(s->tree.Item(item).text);
    EXPECT_EQ(topLevel.size(), 6u);
    EXPECT_NE(std::find(topLevel.begin(), topLevel.end(), "RO.TXT"), topLevel.end());
    EXPECT_NE(std::find(topLevel.begin(), topLevel.end(), "PLAIN.TXT"), topLevel.end());
    EXPECT_EQ(std::find(topLevel.begin(), topLevel.end(), "LABEL"), topLevel.end());
    for (const char* dir : {"SYSDIR", "HIDDIR", "ARCDIR"}) {
        const auto id = FindPath(p, std::string("/") + dir);
        ASSERT_TRUE(id) << dir;
        EXPECT_TRUE(p.IsFolder(*id) && p.IsSaveFolder(*id) && p.IsWalkFolder(*id)) << dir;
        EXPECT_FALSE(p.IsWalkFile(*id));
    }
    EXPECT_TRUE(p.IsSaveFolder(0));
}

TYPED_TEST(FatWalk, TreeHasRootThenFirstLevelWithDeletedColour) {
    FatImageBuilder b(this->kKind);
    auto root = b.Root();
    b.AddDir(root, "ALIVE      ");
    b.Append(root, test::Deleted(ShortSlot("GONE    TXT", 0x20, 0, 0)));
    auto s = this->Scan(b, "tree");
    const auto top = s->tree.TopLevel();
    ASSERT_EQ(top.size(), 1u);
    const auto rootItem = s->tree.Item(top[0]);
    EXPECT_EQ(rootItem.text, "ROOT");
    EXPECT_EQ(rootItem.entry, EntryId{0});
    EXPECT_TRUE(rootItem.expanded);
    const auto kids = s->tree.Children(top[0]);
    ASSERT_EQ(kids.size(), 2u);
    const auto alive = s->tree.Item(kids[0]);
    EXPECT_TRUE(alive.isFolder);
    EXPECT_FALSE(alive.textColour.has_value());
    const auto gone = s->tree.Item(kids[1]);
    EXPECT_EQ(gone.text, "\xEF\xBF\xA5ONE.TXT");
    EXPECT_EQ(gone.textColour, kDeletedColour);
    EXPECT_EQ(s->parser.FormatEntryTimes(*gone.entry).modified, "07/08/2023  01:05 PM");
}

TYPED_TEST(FatWalk, DriveFormattedReadsEveryDirectoryAsOneCluster) {
    FatImageBuilder b(this->kKind);
    auto root = b.Root();
    auto dir = b.AddDir(root, "MANY       ");
    for (int i = 0; i < 20; ++i)
        b.AddFile(dir, "F" + std::to_string(100 + i) + "    TXT", test::Pattern(1, 1));
    ASSERT_GE(dir.clusters.size(), 2u);
    auto s = this->Scan(b, "formatted", true);
    const auto id = FindPath(s->parser, "/MANY");
    ASSERT_TRUE(id);
    EXPECT_EQ(test::Children(s->parser, *id).size(), 512u / 32 - 2);
    auto again = this->Scan(b, "formatted");
    EXPECT_EQ(test::Children(again->parser, *FindPath(again->parser, "/MANY")).size(), 20u);
}

TYPED_TEST(FatWalk, StopKeepsWhatWasFound) {
    FatImageBuilder b(this->kKind);
    auto root = b.Root();
    b.AddFile(root, "A       TXT", test::Pattern(3, 1));
    test::ScannedVolume<TypeParam> s;
    ASSERT_TRUE(s.reader.OpenSource(b.Write("stop").string()));
    s.parser.AttachReader(&s.reader, VolumeEntry{});
    ASSERT_TRUE(s.parser.CheckBootSector());
    s.parser.ReadFatTable();
    s.parser.ReadRootDirectory();
    s.parser.stopRequested = true;
    EXPECT_GE(s.parser.FindEntriesRecursively(), 1u);  // the root record is always there
    EXPECT_EQ(s.parser.EntryName(0), "DUMMY ENTRY");
}

TEST(Fat16Walk, RefusesWithoutMsdosOemAndFatStructureOrWithAFat32ParameterBlock) {
    FatImageBuilder b(FatKind::Fat16, 64);
    b.Poke(3, "mkfs.fat", 8);
    EXPECT_TRUE(RunStandard<Fat16Class>(b.Write("oem16"))->bootOk);  // another formatter's name
    b.Poke(0, "\0\0\0", 3);                                          // and no jump: not a boot sector
    EXPECT_FALSE(RunStandard<Fat16Class>(b.Write("oem16"))->bootOk);
    FatImageBuilder b32(FatKind::Fat32, 64);
    EXPECT_FALSE(RunStandard<Fat16Class>(b32.Write("is32"))->bootOk);
    EXPECT_TRUE(RunStandard<Fat32Class>(b32.Write("is32"))->bootOk);
    FatImageBuilder b16(FatKind::Fat16, 64);
    EXPECT_FALSE(RunStandard<Fat32Class>(b16.Write("is16"))->bootOk);
    b16.PokeBoot(11, 1000, 2);
    EXPECT_FALSE(RunStandard<Fat16Class>(b16.Write("bps16"))->bootOk);
}

TEST(Fat32Walk, RootIsFollowedFromItsOwnClusterAndChain) {
    FatImageBuilder b(FatKind::Fat32);
    // cluster 2 holds a stray directory-looking block; the root lives at 40 -> 77 -> 41
    b.SetFat(2, 0);
    b.Poke(b.ClusterOffset(2), ShortSlot("DECOY   TXT", 0x20, 0, 0).data(), 32);
    b.PokeBoot(44, 40, 4);
    b.Skip(100);
    test::FatImageBuilder::Dir root;
    root.clusters = {40, 77, 41};
    b.SetFat(40, 77);
    b.SetFat(77, 41);
    b.SetFat(41, b.EndMark());
    for (int i = 0; i < 40; ++i)
        b.AddFile(root, "R" + std::to_string(100 + i) + "    TXT", test::Pattern(1, 1));
    auto s = RunStandard<Fat32Class>(b.Write("root-chain"));
    ASSERT_TRUE(s->bootOk);
    const auto names = ChildNames(s->parser, 0);
    EXPECT_EQ(names.size(), 40u);
    EXPECT_EQ(names.front(), "R100.TXT");
    EXPECT_EQ(names.back(), "R139.TXT");
}

TEST(Fat32Walk, LongDirectoryChainIsFollowedToItsEnd) {
    FatImageBuilder b(FatKind::Fat32);
    auto root = b.Root();
    auto dir = b.AddDir(root, "DCIM       ");
    for (int i = 0; i < 600; ++i)
        b.AddFile(dir, "IMG" + std::to_string(1000 + i) + " JPG", test::Pattern(1, 1));
    ASSERT_GT(dir.clusters.size(), 30u);
    auto s = RunStandard<Fat32Class>(b.Write("long-dir"));
    EXPECT_EQ(test::Children(s->parser, *FindPath(s->parser, "/DCIM")).size(), 600u);
}

TEST(Fat32Walk, FreeSlotEndsASubdirectoryClusterButNotTheChain) {
    FatImageBuilder b(FatKind::Fat32);
    auto root = b.Root();
    auto dir = b.AddDir(root, "D          ");
    b.AddFile(dir, "A       TXT", test::Pattern(1, 1));
    dir.used++;  // a free slot
    b.AddFile(dir, "HIDDEN  TXT", test::Pattern(1, 1));
    while (dir.used % 16) b.AddFile(dir, "PAD" + std::to_string(dir.used) + "   TXT", test::Pattern(1, 1));
    b.AddFile(dir, "NEXT    TXT", test::Pattern(1, 1));
    auto s = RunStandard<Fat32Class>(b.Write("free-slot"));
    EXPECT_EQ(ChildNames(s->parser, *FindPath(s->parser, "/D")),
              (std::vector<std::string>{"A.TXT", "NEXT.TXT"}));
    auto s16 = [&] {
        FatImageBuilder c(FatKind::Fat16);
        auto r = c.Root();
        auto d = c.AddDir(r, "D          ");
        c.AddFile(d, "A       TXT", test::Pattern(1, 1));
        d.used++;
        c.AddFile(d, "B       TXT", test::Pattern(1, 1));
        return RunStandard<Fat16Class>(c.Write("free-slot16"));
    }();
    EXPECT_EQ(ChildNames(s16->parser, *FindPath(s16->parser, "/D")),
              (std::vector<std::string>{"A.TXT", "B.TXT"}));
}

TEST(FatBounds, BootSectorAskingForGigabytesAllocatesNothingAbsurd) {
    FatImageBuilder b(FatKind::Fat32, 256);
    b.PokeBoot(36, 0x7FFFFFFF, 4);  // sectors per FAT
    b.PokeBoot(13, 128, 1);
    b.PokeBoot(11, 4096, 2);
    b.PokeBoot(44, 0x0FFFFFF0, 4);
    auto s = RunStandard<Fat32Class>(b.Write("huge32"));
    ASSERT_TRUE(s->bootOk);
    EXPECT_LE(s->parser.ClusterLimit(), 2u + b.image.size() / (4096 * 128));
    EXPECT_EQ(s->parser.Entries().size(), 1u);

    FatImageBuilder c(FatKind::Fat16, 256);
    c.PokeBoot(22, 0xFFFF, 2);
    c.PokeBoot(17, 0xFFFF, 2);
    c.PokeBoot(11, 4096, 2);
    auto t = RunStandard<Fat16Class>(c.Write("huge16"));
    ASSERT_TRUE(t->bootOk);
    EXPECT_EQ(t->parser.RootDirBytes(), 0xFFFFu * 32);
    EXPECT_EQ(t->parser.ClusterLimit(), 2u);  // the data region starts past the end of the volume
}

}  // namespace
}  // namespace salvora
