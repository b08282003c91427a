// Fat64Class on small exFAT images built here from synthetic bytes: the standard run (a root spanning several
// clusters, nested, contiguous and looping directories, deleted sets), extraction, the advanced-input
// searches and the advanced run on a volume whose boot sector is gone. Needs a writable temp dir only.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

#include "fs/fat/exfat_image_builder.h"
#include "fs/fat/fat64_class.h"
#include "scan/deep_discovery.h"
#include "io/file_read_seek.h"
#include "model/result_tree.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Concat;
using test::ExFatImageBuilder;
using test::ExFatSetSpec;
using test::Pattern;

std::uint32_t Ts(int y, int mo, int d, int h, int mi, int s) {
    return (static_cast<std::uint32_t>(y - 1980) << 25) | (mo << 21) | (d << 16) | (h << 11) | (mi << 5) |
           (s / 2);
}

std::vector<std::uint8_t> ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The volume every test starts from, with what each file should hold.
struct Volume {
    ExFatImageBuilder b;
    std::map<std::string, std::vector<std::uint8_t>> content;
    std::uint32_t rootFirst = 0;

    Volume() {
        const auto root = b.Alloc(1);
        rootFirst = root[0];
        const auto dcim = b.Alloc(2);
        const auto cam = b.Alloc(2);
        const auto contig = b.Alloc(4);
        const auto frag = b.Alloc(3);
        const auto deleted = b.Alloc(3);
        const auto loop = b.Alloc(2);
        const auto shared = b.Alloc(1);
        const auto old = b.Alloc(1);
        const auto short1 = b.Alloc(2);
        const auto imgs = b.Alloc(8);
        b.Skip(5);
        const auto rootMore = b.Alloc(4);  // the root's later clusters, away from its first

        // Root: three name entries for one name, a root of five clusters chained out of order.
        std::vector<std::vector<std::uint8_t>> sets{ExFatImageBuilder::RootHeader(b.clusterCount)};
        sets.push_back(ExFatImageBuilder::EntrySet(
            {.name = u"DCIM", .attributes = 0x10, .flags = 1, .firstCluster = dcim[0], .size = 1024}));
        content["contig.bin"] = Pattern(1636, 1);
        sets.push_back(ExFatImageBuilder::EntrySet(
            {.name = u"contig.bin", .flags = 3, .firstCluster = contig[0], .size = 1636}));
        b.WriteClusters(contig, content["contig.bin"]);
        content["frag.bin"] = Pattern(1400, 2);
        const std::vector<std::uint32_t> fragOrder{frag[0], frag[2], frag[1]};
        sets.push_back(ExFatImageBuilder::EntrySet(
            {.name = u"frag.bin", .flags = 1, .firstCluster = frag[0], .size = 1400}));
        b.Chain(fragOrder);
        b.WriteClusters(fragOrder, content["frag.bin"]);
        // Deleted: its chain is cleared, its clusters were consecutive.
        content["deleted.jpg"] = Pattern(1200, 3);
        sets.push_back(ExFatImageBuilder::EntrySet(
            {.name = u"deleted.jpg", .flags = 1, .firstCluster = deleted[0], .size = 1200, .deleted = true}));
        b.WriteClusters(deleted, content["deleted.jpg"]);
        sets.push_back(ExFatImageBuilder::EntrySet(
            {.name = u"A long name over three name entries, really.txt", .firstCluster = 0, .size = 0}));
        sets.push_back(ExFatImageBuilder::EntrySet(
            {.name = u"loop", .attributes = 0x10, .flags = 1, .firstCluster = loop[0], .size = 1024}));
        // Two entries naming one directory cluster: one folder, the later name.
        sets.push_back(ExFatImageBuilder::EntrySet(
            {.name = u"dupA", .attributes = 0x10, .flags = 3, .firstCluster = shared[0], .size = 512}));
        sets.push_back(ExFatImageBuilder::EntrySet(
            {.name = u"dupB", .attributes = 0x10, .flags = 3, .firstCluster = shared[0], .size = 512}));
        content["utc.txt"] = Pattern(10, 4);
        sets.push_back(ExFatImageBuilder::EntrySet({.name = u"utc.txt",
                                                    .flags = 3,
                                                    .firstCluster = short1[0],
                                                    .size = 10,
                                                    .modified = Ts(2023, 11, 14, 13, 18, 22),
                                                    .accessed = 0,
                                                    .modifiedUtc = 0x80 | 8}));
        b.WriteClusters(short1, content["utc.txt"]);
        // A live chain shorter than the file.
        sets.push_back(ExFatImageBuilder::EntrySet(
            {.name = u"short.bin", .flags = 1, .firstCluster = short1[1], .size = 2000}));
        b.Chain({short1[1]});
        for (int i = 0; i < 12; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "file%02d.txt", i);
            sets.push_back(
                ExFatImageBuilder::EntrySet({.name = std::u16string(name, name + std::strlen(name))}));
        }
        const std::vector<std::uint32_t> rootChain{root[0], rootMore[1], rootMore[0], rootMore[3],
                                                   rootMore[2]};
        const auto rootBytes = Concat(sets);
        EXPECT_GT(rootBytes.size(), 4u * b.clusterBytes);
        EXPECT_LE(rootBytes.size(), 5u * b.clusterBytes);
        b.Chain(rootChain);
        b.WriteClusters(rootChain, rootBytes);

        // DCIM (FAT chain, two clusters) -> 100CAM (contiguous, two clusters) -> eight photos; a deleted
        // folder.
        std::vector<std::vector<std::uint8_t>> dcimSets;
        dcimSets.push_back(ExFatImageBuilder::EntrySet(
            {.name = u"100CAM", .attributes = 0x10, .flags = 3, .firstCluster = cam[0], .size = 1024}));
        dcimSets.push_back(ExFatImageBuilder::EntrySet({.name = u"OLD",
                                                        .attributes = 0x10,
                                                        .flags = 3,
                                                        .firstCluster = old[0],
                                                        .size = 512,
                                                        .deleted = true}));
        for (int i = 0; i < 3; ++i)  // pad into the second cluster
            dcimSets.push_back(ExFatImageBuilder::EntrySet({.name = u"pad" + std::u16string(1, u'0' + i)}));
        dcimSets.push_back(ExFatImageBuilder::EntrySet({.name = u"late.txt"}));
        b.Chain(dcim);
        b.WriteClusters(dcim, Concat(dcimSets));
        std::vector<std::vector<std::uint8_t>> camSets;
        for (int i = 0; i < 8; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "IMG_%04d.JPG", i + 1);
            content[name] = Pattern(300 + i, static_cast<std::uint8_t>(10 + i));
            b.WriteClusters({imgs[i]}, content[name]);
            camSets.push_back(
                ExFatImageBuilder::EntrySet({.name = std::u16string(name, name + std::strlen(name)),
                                             .flags = 3,
                                             .firstCluster = imgs[i],
                                             .size = 300u + i}));
        }
        b.WriteClusters(cam, Concat(camSets));
        b.WriteClusters(old, ExFatImageBuilder::EntrySet({.name = u"old.txt", .deleted = true}));
        b.WriteClusters(shared, ExFatImageBuilder::EntrySet({.name = u"shared.txt"}));

        // A directory whose chain loops back on itself.
        std::vector<std::vector<std::uint8_t>> loopSets;
        for (int i = 0; i < 7; ++i)
            loopSets.push_back(
                ExFatImageBuilder::EntrySet({.name = u"in-loop-" + std::u16string(1, u'0' + i)}));
        b.SetFat(loop[0], loop[1]);
        b.SetFat(loop[1], loop[0]);
        b.WriteClusters(loop, Concat(loopSets));

        b.MarkInUse(96);
        b.WriteBoot(rootFirst);
    }

    fs::path Save(const std::string& name) {
        const fs::path path = fs::path(::testing::TempDir()) / name;
        b.Save(path.string());
        return path;
    }
};

class ExFatParser : public ::testing::Test {
  protected:
    void Open(const fs::path& image) {
        ASSERT_TRUE(reader.OpenSource(image.string()));
        parser.tree = &tree;
        opened = VolumeEntry{"exFAT", "", image.string(), "1", 0, 1 << 20, {}, {}};
        parser.AttachReader(&reader, opened);
    }
    ScanOutcome Standard(bool formatted = false) {
        ScanRequest request;
        request.source = &reader;
        request.volume = opened;
        request.formattedDrive = formatted;
        return parser.Scan(request);
    }
    DeepDiscovery Search(int maxFileSystems) {
        return RunDeepDiscovery(parser, DiscoveryKind::ExFat, &reader, opened, maxFileSystems);
    }
    VolumeEntry opened;
    void TearDown() override { parser.stopRequested = false; }

    std::vector<std::string> Children(EntryId id) const {
        std::vector<std::string> names;
        for (auto c = parser.FirstChild(id); c; c = parser.NextSibling(*c))
            names.push_back(parser.EntryName(*c));
        return names;
    }
    std::optional<EntryId> Find(const std::string& name) const {
        for (std::size_t i = 0; i < parser.Records().size(); ++i)
            if (parser.Records()[i].name == name) return i;
        return std::nullopt;
    }
    int Count(const std::string& name) const {
        int n = 0;
        for (const auto& r : parser.Records()) n += r.name == name;
        return n;
    }

    Volume volume;
    FileReadSeek reader;
    ResultTree tree;
    Fat64Class parser;
};

TEST_F(ExFatParser, StandardRunListsTheWholeRootAndEveryDirectory) {
    Open(volume.Save("std.img"));
    ASSERT_EQ(Standard(), ScanOutcome::Done);

    std::vector<std::string> root{
        "DCIM", "contig.bin", "frag.bin", "deleted.jpg", "A long name over three name entries, really.txt",
        "loop", "dupB",       "utc.txt",  "short.bin"};
    for (int i = 0; i < 12; ++i)
        root.push_back("file" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".txt");
    EXPECT_EQ(Children(0), root);

    const auto dcim = Find("DCIM");
    ASSERT_TRUE(dcim);
    EXPECT_EQ(Children(*dcim),
              (std::vector<std::string>{"100CAM", "OLD", "pad0", "pad1", "pad2", "late.txt"}));
    const auto cam = Find("100CAM");
    ASSERT_TRUE(cam);
    EXPECT_EQ(Children(*cam).size(), 8u);  // a contiguous directory is read to its length
    EXPECT_EQ(Children(*Find("OLD")), std::vector<std::string>{"old.txt"});
    EXPECT_TRUE(parser.IsDeleted(*Find("OLD")));
    EXPECT_TRUE(parser.IsDeleted(*Find("old.txt")));
    EXPECT_EQ(Children(*Find("dupB")), std::vector<std::string>{"shared.txt"});
    EXPECT_FALSE(Find("dupA"));
    // The looping directory is read once and the walk ends.
    EXPECT_EQ(Children(*Find("loop")).size(), 7u);
    EXPECT_EQ(Count("in-loop-0"), 1);
}

TEST_F(ExFatParser, TreeHoldsTheFirstLevelWithDeletedEntriesInRed) {
    Open(volume.Save("tree.img"));
    ASSERT_EQ(Standard(), ScanOutcome::Done);
    const ItemId root = tree.Root();
    ASSERT_NE(root, kNoItem);
    EXPECT_EQ(tree.Item(root).text, "ROOT");
    EXPECT_EQ(tree.Item(root).entry, EntryId{0});
    std::map<std::string, ResultItem> items;
    for (ItemId c : tree.Children(root)) items[tree.Item(c).text] = tree.Item(c);
    EXPECT_EQ(items.size(), 21u);
    EXPECT_TRUE(items["DCIM"].isFolder);
    EXPECT_TRUE(items["DCIM"].expanded);
    EXPECT_FALSE(items["contig.bin"].isFolder);
    EXPECT_EQ(items["deleted.jpg"].textColour, kDeletedColour);
    EXPECT_FALSE(items["frag.bin"].textColour);
    EXPECT_EQ(items.count("DUMMY ENTRY"), 0u);
    EXPECT_TRUE(parser.IsSaveFolder(0));
    EXPECT_TRUE(parser.IsSaveFolder(*Find("DCIM")));
    EXPECT_TRUE(parser.IsWalkFile(*Find("frag.bin")));
}

TEST_F(ExFatParser, ExtractsContiguousChainedAndDeletedFiles) {
    Open(volume.Save("extract.img"));
    ASSERT_EQ(Standard(), ScanOutcome::Done);
    const fs::path out = fs::path(::testing::TempDir()) / "exfat-out";
    fs::remove_all(out);
    fs::create_directories(out);
    for (const char* name :
         {"contig.bin", "frag.bin", "deleted.jpg", "IMG_0001.JPG", "IMG_0008.JPG", "utc.txt"}) {
        const auto id = Find(name);
        ASSERT_TRUE(id) << name;
        EXPECT_TRUE(parser.ExtractFile(*id, (out / name).string())) << name;
        EXPECT_EQ(ReadFile(out / name), volume.content[name]) << name;
    }
    // A chain that ends before the size: what the chain holds, and a failure reported.
    EXPECT_FALSE(parser.ExtractFile(*Find("short.bin"), (out / "short.bin").string()));
    EXPECT_EQ(fs::file_size(out / "short.bin"), 512u);
    // An empty file is created.
    EXPECT_TRUE(parser.ExtractFile(*Find("file00.txt"), (out / "file00.txt").string()));
    EXPECT_EQ(fs::file_size(out / "file00.txt"), 0u);
}

TEST_F(ExFatParser, AChainThatLoopsBackIsNotPassedOffAsWhole) {
    Open(volume.Save("probe.img"));
    ASSERT_EQ(Standard(), ScanOutcome::Done);
    const std::uint32_t first = parser.Record(*Find("frag.bin"))->firstCluster;
    const std::size_t at = volume.b.FatBytes() + 4ull * first;
    const auto& image = volume.b.Image();
    const std::uint32_t second = image[at] | image[at + 1] << 8 | image[at + 2] << 16 | image[at + 3] << 24;
    volume.b.SetFat(second, first);  // the second cluster leads back to the first
    Open(volume.Save("loop.img"));
    ASSERT_EQ(Standard(), ScanOutcome::Done);
    const fs::path out = fs::path(::testing::TempDir()) / "exfat-loop.bin";
    fs::remove(out);
    EXPECT_FALSE(parser.ExtractFile(*Find("frag.bin"), out.string()));
    EXPECT_EQ(fs::file_size(out), 1024u);  // the two clusters before the loop, nothing read twice
}

TEST_F(ExFatParser, ExtractionNeverOverwritesAndSetsTimesFromTheUtcOffset) {
    Open(volume.Save("times.img"));
    ASSERT_EQ(Standard(), ScanOutcome::Done);
    const fs::path out = fs::path(::testing::TempDir()) / "exfat-times";
    fs::remove_all(out);
    fs::create_directories(out);
    const fs::path dest = out / "utc.txt";
    {
        std::ofstream existing(dest);
        existing << "keep me";
    }
    EXPECT_FALSE(parser.ExtractFile(*Find("utc.txt"), dest.string()));
    EXPECT_EQ(ReadFile(dest), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
    fs::remove(dest);

    ASSERT_TRUE(parser.ExtractFile(*Find("utc.txt"), dest.string()));
    struct stat st {};
    ASSERT_EQ(::stat(dest.c_str(), &st), 0);
    std::tm utc{};
    utc.tm_year = 123;
    utc.tm_mon = 10;
    utc.tm_mday = 14;
    utc.tm_hour = 11;  // 13:18:22 at +02:00
    utc.tm_min = 18;
    utc.tm_sec = 22;
    EXPECT_EQ(st.st_mtim.tv_sec, timegm(&utc));
    // The access date is 0, no date at all: left as the file system set it, not 1980 or 1970.
    EXPECT_GT(st.st_atim.tv_sec, timegm(&utc));
}

TEST_F(ExFatParser, DriveFormattedReadsConsecutiveClustersAndOneClusterDirectories) {
    Open(volume.Save("formatted.img"));
    ASSERT_EQ(Standard(true), ScanOutcome::Done);
    // The root's chain is not followed: only its first cluster's sets.
    EXPECT_TRUE(Find("DCIM"));
    EXPECT_FALSE(Find("file11.txt"));
}

TEST_F(ExFatParser, BootSectorChecks) {
    volume.b.Image()[3] = 'N';
    Open(volume.Save("notexfat.img"));
    EXPECT_EQ(Standard(), ScanOutcome::NotThisFileSystem);
    EXPECT_EQ(tree.Size(), 0u);
}

TEST_F(ExFatParser, StopDuringTheWalkKeepsWhatWasFound) {
    Open(volume.Save("stop.img"));
    ASSERT_TRUE(parser.CheckBootSector());
    ASSERT_TRUE(parser.ReadRootDirectory());
    parser.stopRequested = true;
    const std::size_t n = parser.FindEntriesRecursively();
    EXPECT_GE(n, 2u);
    EXPECT_LT(n, 40u);
    parser.MaintainTreeInVector();
    EXPECT_TRUE(parser.FirstChild(0));
}

TEST_F(ExFatParser, AdvancedInputSearchesOrderAndLimit) {
    // Extra sectors that look like FAT starts, far into the heap.
    for (std::uint32_t c : {900u, 950u, 1000u})
        for (int i = 0; i < 8; ++i) volume.b.Image()[volume.b.ClusterOffset(c) + i] = i == 0 ? 0xF8 : 0xFF;
    Open(volume.Save("search.img"));
    auto result = Search(0);
    EXPECT_TRUE(result.bootValid);
    ASSERT_EQ(result.fatOffsets.size(), 3u);  // 0 means 3
    EXPECT_EQ(result.fatOffsets[0], volume.b.FatBytes());
    EXPECT_EQ(result.fatOffsets[1], volume.b.ClusterOffset(900));
    EXPECT_EQ(result.candidateTexts, (std::vector<std::string>{"FAT64_ENTRY:0", "FAT64_ENTRY:1", "FAT64_ENTRY:2"}));
    ASSERT_FALSE(result.heapOffsets.empty());
    EXPECT_EQ(result.heapOffsets[0], volume.b.HeapBytes());  // the boot's own value first
    EXPECT_EQ(result.heapTexts[0], "HEAP_OFFSET_ENTRY:0");
    EXPECT_EQ(result.sectorsPerClusterTexts,
              (std::vector<std::string>{"0", "8", "9", "10", "11", "1", "2", "3", "4", "5", "6", "7"}));
    EXPECT_EQ(result.message,
              "Number of FAT64-ENTRY found = 3 and Number of HeapOffset-ENTRY found =  " +
                  std::to_string(result.heapOffsets.size()) +
                  "  . Please select the choice from ( Entry and Heap ) Combobox and click Next "
                  "button to proceed.");
    parser.SearchVolume(5);
    EXPECT_NE(parser.FatCandidate(3), 0u);
    EXPECT_EQ(parser.FatCandidate(4), 0u);
}

TEST_F(ExFatParser, AdvancedRunRebuildsTheTreeWithoutBootSector) {
    // A set in a cluster no directory reaches.
    volume.b.WriteClusters({1500}, ExFatImageBuilder::EntrySet({.name = u"stray.txt"}));
    std::fill_n(volume.b.Image().begin(), 512, 0);
    Open(volume.Save("deep.img"));
    const auto search = Search(3);
    EXPECT_FALSE(search.bootValid);
    // The folders' places tell 512-byte clusters: that shift leads, the page's items follow.
    EXPECT_EQ(search.sectorsPerClusterTexts, (std::vector<std::string>{"0", "8", "9", "10", "11", "1", "2", "3", "4", "5", "6", "7"}));
    ASSERT_FALSE(search.fatOffsets.empty());
    ASSERT_FALSE(search.heapOffsets.empty());
    EXPECT_EQ(search.fatOffsets[0], volume.b.FatBytes());
    EXPECT_EQ(search.heapOffsets[0], volume.b.HeapBytes());  // the bitmap opens the heap

    ASSERT_TRUE(parser.RunAdvanced(0, 0, 0));
    // The label marks the root; its later clusters stay in the root, not under "ORPHAN ENTRY".
    EXPECT_EQ(parser.RootEstimate(), volume.b.ClusterOffset(volume.rootFirst));
    const auto rootChildren = Children(0);
    EXPECT_EQ(rootChildren.front(), "ORPHAN ENTRY");
    EXPECT_NE(std::find(rootChildren.begin(), rootChildren.end(), "file11.txt"), rootChildren.end());
    EXPECT_NE(std::find(rootChildren.begin(), rootChildren.end(), "frag.bin"), rootChildren.end());
    EXPECT_EQ(Children(*Find("100CAM")).size(), 8u);
    EXPECT_EQ(Children(1), std::vector<std::string>{"stray.txt"});
    // Hits inside walked directories are listed once.
    EXPECT_EQ(Count("IMG_0003.JPG"), 1);
    EXPECT_EQ(Count("late.txt"), 1);
    EXPECT_EQ(Count("in-loop-3"), 1);

    // Contiguous content comes back with the chosen heap.
    const fs::path out = fs::path(::testing::TempDir()) / "exfat-deep-out";
    fs::remove_all(out);
    fs::create_directories(out);
    ASSERT_TRUE(parser.ExtractFile(*Find("IMG_0005.JPG"), (out / "IMG_0005.JPG").string()));
    EXPECT_EQ(ReadFile(out / "IMG_0005.JPG"), volume.content["IMG_0005.JPG"]);
    ASSERT_TRUE(parser.ExtractFile(*Find("frag.bin"), (out / "frag.bin").string()));
    EXPECT_EQ(ReadFile(out / "frag.bin"), volume.content["frag.bin"]);

    std::map<std::string, ResultItem> items;
    for (ItemId c : tree.Children(tree.Root())) items[tree.Item(c).text] = tree.Item(c);
    EXPECT_TRUE(items["ORPHAN ENTRY"].isFolder);
    EXPECT_FALSE(items["ORPHAN ENTRY"].textColour);
}

TEST_F(ExFatParser, AdvancedOrphanRuleAtTheRootAreaBound) {
    // No label, no chain to follow from the estimate: sets past one cluster from the first hit are orphans.
    std::fill_n(volume.b.Image().begin(), 512, 0);
    volume.b.Image()[volume.b.ClusterOffset(volume.rootFirst)] = 0;  // the label
    Open(volume.Save("orphan.img"));
    Search(3);
    ASSERT_TRUE(parser.SetDeepGeometry(0));
    parser.ScanForEntrySets();
    const auto& hits = parser.FoundEntrySets();
    ASSERT_GT(hits.size(), 40u);
    EXPECT_EQ(hits.front(),
              volume.b.ClusterOffset(volume.rootFirst) + 96);  // DCIM, after the bitmap and up-case
    // A FAT offset that leads nowhere: the root's chain ends at once.
    parser.BuildEntriesFromScan(volume.b.HeapBytes(), volume.b.ClusterOffset(1800));
    parser.MaintainTreeInVector();
    const auto rootChildren = Children(0);
    EXPECT_NE(std::find(rootChildren.begin(), rootChildren.end(), "contig.bin"), rootChildren.end());
    const auto orphans = Children(1);
    EXPECT_NE(std::find(orphans.begin(), orphans.end(), "file11.txt"), orphans.end());
    EXPECT_EQ(std::find(rootChildren.begin(), rootChildren.end(), "file11.txt"), rootChildren.end());
}

}  // namespace
}  // namespace salvora
