// The advanced (damaged-volume) run of the FAT16 and FAT32 parsers and the advanced-input page's searches:
// FAT copies on volumes whose boot sector is zeroed, the candidate limit, the sectors-per-cluster lists, the
// orphan rule, the 0xCD end marker, a quick-formatted volume, Stop, and boot sectors of other formatters.
// Needs tests/fixtures/fat16.img.zst, fat32.img.zst and sha256sum.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "fat_image_builder.h"
#include "fat_scan_util.h"
#include "fixture_util.h"
#include "fs/fat/fat16_class.h"
#include "fs/fat/fat32_class.h"
#include "scan/deep_discovery.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::FatImageBuilder;
using test::Sha256Of;

// A private copy of a fixture with `zeroSectors` (512-byte sectors) overwritten by zeros.
fs::path DamagedCopy(const std::string& fixture, const std::string& tag,
                     std::vector<std::uint64_t> zeroSectors) {
    const fs::path copy =
        fs::temp_directory_path() / ("salvora-adv-" + tag + "-" + std::to_string(::getpid()) + ".img");
    fs::copy_file(test::Fixture(fixture), copy, fs::copy_options::overwrite_existing);
    std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
    const std::vector<char> zeros(512, 0);
    for (const std::uint64_t s : zeroSectors) {
        f.seekp(static_cast<std::streamoff>(s * 512));
        f.write(zeros.data(), 512);
    }
    return copy;
}

void Patch(const fs::path& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

VolumeEntry VolumeOf(const fs::path& image, const std::string& label) {
    VolumeEntry v;
    v.fileSystemLabel = label;
    v.sizeText = std::to_string(fs::file_size(image) / 1048576) + "   MB";
    return v;
}

// Runs the searches and the advanced run as the two pages do.
template <class Parser>
struct AdvancedRun {
    FileReadSeek reader;
    Parser parser;
    ResultTree tree;
    DeepDiscovery found;

    AdvancedRun(const fs::path& image, DiscoveryKind kind, const std::string& label, int max = 3) {
        EXPECT_TRUE(reader.OpenSource(image.string()));
        parser.tree = &tree;
        found = RunDeepDiscovery(parser, kind, &reader, VolumeOf(image, label), max);
    }
};

TEST(FatDeepDiscovery, FindsBothFatCopiesWhenTheBootSectorIsZeroed) {
    const fs::path image16 = DamagedCopy("fat16.img", "fat16-boot", {0});
    AdvancedRun<Fat16Class> fat16(image16, DiscoveryKind::Fat16, "fat16");
    EXPECT_FALSE(fat16.found.bootValid);
    // Reserved 1 sector, 256 sectors per FAT.
    EXPECT_EQ(fat16.found.fatOffsets, (std::vector<std::uint64_t>{512, 512 + 256 * 512}));
    EXPECT_EQ(fat16.found.candidateTexts, (std::vector<std::string>{"FAT_ENTRY:0", "FAT_ENTRY:1"}));
    // The folders' own "." slots tell the geometry (fsstat: clusters of 512 bytes; cluster 2 at sector 545, past
    // the 32-sector root area); its value leads, the fixed items follow in their order.
    EXPECT_EQ(fat16.found.sectorsPerClusterTexts,
              (std::vector<std::string>{"1", "4", "8", "16", "2", "32", "64", "128"}));
    EXPECT_NE(fat16.found.geometryText.find("cluster 512 bytes, data at sector 545"), std::string::npos)
        << fat16.found.geometryText;
    EXPECT_EQ(
        fat16.found.message,
        "Number of FAT-ENTRY found = 2 . Please select the choice from combo box and click Next button to "
        "proceed.");
    fs::remove(image16);

    // mkfs.fat writes entry 1 as 0FFFFFFF, Windows as FFFFFFFF: both are FAT32 tables.
    const fs::path image32 = DamagedCopy("fat32.img", "fat32-boot", {0, 6});
    AdvancedRun<Fat32Class> fat32(image32, DiscoveryKind::Fat32, "FAT32", 0);
    EXPECT_FALSE(fat32.found.bootValid);
    EXPECT_EQ(fat32.found.maxFileSystems, 3);
    EXPECT_EQ(fat32.found.fatOffsets, (std::vector<std::uint64_t>{32 * 512, 1041 * 512}));
    EXPECT_EQ(fat32.found.candidateTexts, (std::vector<std::string>{"FAT32_ENTRY:0", "FAT32_ENTRY:1"}));
    EXPECT_EQ(fat32.found.sectorsPerClusterTexts,
              (std::vector<std::string>{"1", "2", "4", "16", "32", "64", "8"}));
    EXPECT_NE(fat32.found.geometryText.find("cluster 512 bytes, data at sector 2050"), std::string::npos)
        << fat32.found.geometryText;
    fs::remove(image32);
}

TEST(FatDeepDiscovery, CandidateLimitAndItsDefault) {
    // Seven sectors that start like a FAT16 table, at known places.
    std::vector<std::uint8_t> bytes(4 << 20, 0);
    const std::vector<std::uint64_t> at{4096, 8192, 65536, 1 << 20, 2 << 20, 3 << 20, (4 << 20) - 512};
    for (const auto o : at) std::memcpy(&bytes[o], "\xF8\xFF\xFF\xFF", 4);
    const fs::path image = fs::temp_directory_path() / ("salvora-adv-limit-" + std::to_string(::getpid()));
    test::WriteBytes(image, bytes);
    for (const auto& [max, expected] :
         std::map<int, std::size_t>{{0, 3}, {-4, 3}, {1, 1}, {3, 3}, {5, 5}, {99, 7}}) {
        AdvancedRun<Fat16Class> run(image, DiscoveryKind::Fat16, "FAT", max);
        ASSERT_EQ(run.found.fatOffsets.size(), expected) << max;
        EXPECT_TRUE(std::equal(run.found.fatOffsets.begin(), run.found.fatOffsets.end(), at.begin())) << max;
        EXPECT_EQ(run.found.candidateTexts.back(), "FAT_ENTRY:" + std::to_string(expected - 1));
    }
    // No FAT32 table at all.
    AdvancedRun<Fat32Class> none(image, DiscoveryKind::Fat32, "fat32");
    EXPECT_TRUE(none.found.candidateTexts.empty());
    EXPECT_EQ(none.found.message, "NO FAT  FAT32-ENTRY found ..");
    fs::remove(image);
}

TEST(FatDeepDiscovery, SectorsPerClusterListsLeadWithAUsableBootValue) {
    using L = std::vector<std::string>;
    EXPECT_EQ(SectorsPerClusterList(DiscoveryKind::Fat16, true, 16),
              (L{"16", "4", "8", "16", "2", "32", "64", "128", "1"}));
    EXPECT_EQ(SectorsPerClusterList(DiscoveryKind::Fat16, true, 1),
              (L{"1", "4", "8", "16", "2", "32", "64", "128"}));
    EXPECT_EQ(SectorsPerClusterList(DiscoveryKind::Fat16, true, 3),
              (L{"4", "8", "16", "2", "32", "64", "128", "1"}));
    EXPECT_EQ(SectorsPerClusterList(DiscoveryKind::Fat16, false, 8),
              (L{"4", "8", "16", "2", "32", "64", "128", "1"}));
    EXPECT_EQ(SectorsPerClusterList(DiscoveryKind::Fat32, true, 8),
              (L{"8", "2", "4", "16", "32", "64", "8", "1"}));
    EXPECT_EQ(SectorsPerClusterList(DiscoveryKind::Fat32, true, 0),
              (L{"2", "4", "16", "32", "64", "8", "1"}));
    EXPECT_EQ(SectorsPerClusterList(DiscoveryKind::ExFat, true, 3), (L{"3", "8", "9", "10", "11", "0", "1", "2", "4", "5", "6", "7"}));
    EXPECT_TRUE(SectorsPerClusterList(DiscoveryKind::None, true, 8).empty());
    EXPECT_EQ(SectorsPerClusterValue("64"), 64);
    EXPECT_EQ(SectorsPerClusterValue("x"), 0);
}

TEST(FatDeepDiscovery, OpeningStatusIsFat16sForFat12Too) {
    EXPECT_EQ(DiscoveryOpeningStatus(DiscoveryKind::Fat16), "Total fat16 Entries Found:");
    EXPECT_EQ(DiscoveryOpeningStatus(DiscoveryKind::Fat12), "Total fat16 Entries Found:");
}

// Every live file of the manifest: found at its own path, with its bytes.
template <class Parser>
void ExpectLiveFilesBack(AdvancedRun<Parser>& run, const std::string& fixture) {
    const auto manifest = test::ReadManifest(fixture);
    const fs::path out = fs::temp_directory_path() / ("salvora-adv-out-" + std::to_string(::getpid()));
    fs::create_directories(out);
    int live = 0, found = 0, same = 0;
    for (const auto& file : manifest["files"]) {
        if (file["deleted"].get<bool>()) continue;
        ++live;
        const std::string path = file["path"];
        const auto id = test::FindPath(run.parser, path);
        if (!id) continue;
        ++found;
        const fs::path dest = out / std::to_string(found);
        ASSERT_TRUE(run.parser.ExtractFile(*id, dest.string())) << path;
        if (Sha256Of(dest) == file["sha256"].get<std::string>()) ++same;
    }
    fs::remove_all(out);
    EXPECT_EQ(found, live) << fixture;
    EXPECT_EQ(same, live) << fixture;
}

TEST(FatAdvancedRun, ZeroedBootSectorStillGivesTheWholeTree) {
    const fs::path image16 = DamagedCopy("fat16.img", "fat16-tree", {0});
    AdvancedRun<Fat16Class> fat16(image16, DiscoveryKind::Fat16, "fat16");
    fat16.parser.RunAdvanced(0, 1);
    EXPECT_EQ(fat16.parser.EntryName(0), "DUMMY ENTRY");
    EXPECT_EQ(fat16.parser.EntryName(1), "ORPHAN ENTRY");
    // Cluster 2 lies after one reserved sector, two 256-sector FATs and the 16 KiB root.
    EXPECT_EQ(fat16.parser.DataStart(), (1 + 512) * 512 + 16384u);
    ExpectLiveFilesBack(fat16, "fat16.img");
    fs::remove(image16);

    const fs::path image32 = DamagedCopy("fat32.img", "fat32-tree", {0, 6});
    AdvancedRun<Fat32Class> fat32(image32, DiscoveryKind::Fat32, "fat32");
    fat32.parser.RunAdvanced(0, 1);
    EXPECT_EQ(fat32.parser.DataStart(), 2050 * 512u);
    ExpectLiveFilesBack(fat32, "fat32.img");
    fs::remove(image32);
}

// A quick format over a populated FAT32 volume, as mkfs.fat does it: the boot sector is written again (same
// geometry), both FATs are cleared but for entries 0-2, the root cluster is zeroed. Folders' clusters and
// file content stay.
TEST(FatAdvancedRun, QuickFormattedVolumeYieldsItsFilesUnderOrphanEntry) {
    const fs::path original = test::Fixture("fat32.img");
    // Which files were contiguous, and their first clusters, from the intact volume.
    auto intact = test::RunStandard<Fat32Class>(original);
    ASSERT_TRUE(intact->bootOk);
    std::map<std::string, std::string> contiguousHash;  // path -> sha256
    std::map<std::string, std::uint32_t> topCluster;    // top folder -> its first cluster
    const auto manifest = test::ReadManifest("fat32.img");
    for (const auto& file : manifest["files"]) {
        const std::string path = file["path"];
        if (file["deleted"].get<bool>() || std::count(path.begin(), path.end(), '/') < 3) continue;
        const auto id = test::FindPath(intact->parser, path);
        ASSERT_TRUE(id) << path;
        const FatEntryRecord& r = intact->parser.Entries()[*id];
        bool contiguous = true;
        std::uint32_t c = r.FirstCluster();
        for (std::uint64_t n = 1; n * 512 < r.fileSize && contiguous; ++n) {
            const std::uint32_t next = intact->parser.NextCluster(c);
            contiguous = next == c + 1;
            c = next;
        }
        if (contiguous && r.fileSize > 0) contiguousHash[path] = file["sha256"];
        const std::string top = path.substr(0, path.find('/', 1));
        topCluster[top] = intact->parser.Entries()[*test::FindPath(intact->parser, top)].FirstCluster();
    }
    ASSERT_GE(contiguousHash.size(), 10u);

    std::vector<std::uint64_t> zero;
    for (std::uint64_t s = 32; s < 2050; ++s) zero.push_back(s);  // both FATs
    zero.push_back(2050);                                         // the root cluster
    const fs::path image = DamagedCopy("fat32.img", "fat32-formatted", zero);
    const std::vector<std::uint8_t> head{0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF,
                                         0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
    Patch(image, 32 * 512, head);
    Patch(image, 1041 * 512, head);

    AdvancedRun<Fat32Class> run(image, DiscoveryKind::Fat32, "fat32");
    ASSERT_TRUE(run.found.bootValid);
    EXPECT_EQ(run.found.sectorsPerClusterTexts.front(), "1");
    run.parser.formattedDrive = true;
    run.parser.RunAdvanced(0, 1);
    run.parser.formattedDrive = false;

    // The folders that were in the root's first cluster lost their names: each is "Folder at cluster N" under
    // "ORPHAN ENTRY" with everything below it. Those whose slots were in the root's later clusters (not cleared
    // by a format) are found whole there.
    const fs::path out = fs::temp_directory_path() / ("salvora-adv-fmt-" + std::to_string(::getpid()));
    fs::create_directories(out);
    std::size_t matched = 0;
    for (const auto& [path, hash] : contiguousHash) {
        const std::string suffix = path.substr(path.find('/', 1));
        const std::string top = path.substr(0, path.find('/', 1));
        auto id = test::FindPath(run.parser,
                                 "/ORPHAN ENTRY/Folder at cluster " + std::to_string(topCluster[top]) + suffix);
        if (!id) id = test::FindPath(run.parser, "/ORPHAN ENTRY" + path);
        if (!id) {
            ADD_FAILURE() << "missing " << path;
            continue;
        }
        const fs::path dest = out / std::to_string(++matched);
        run.parser.formattedDrive = true;
        EXPECT_TRUE(run.parser.ExtractFile(*id, dest.string())) << suffix;
        run.parser.formattedDrive = false;
        EXPECT_EQ(Sha256Of(dest), hash) << suffix;
    }
    fs::remove_all(out);
    EXPECT_EQ(matched, contiguousHash.size());
    EXPECT_TRUE(test::FindPath(run.parser, "/ORPHAN ENTRY/Folder at cluster " +
                                               std::to_string(topCluster["/Documents"]) +
                                               "/Work/Projects/2023/Reports/summary.txt"));
    fs::remove(image);
}

// A hand-made FAT16 volume: the root (a file and a folder), a folder whose own slot is lost, a 0xCD slot.
struct OrphanVolume {
    FatImageBuilder b{FatKind::Fat16, 2048};
    fs::path path;
    OrphanVolume() {
        auto root = b.Root();
        b.AddFile(root, "ROOTFILETXT", test::Pattern(700, 1));
        auto dir = b.AddDir(root, "DIRA");
        b.AddFile(dir, "INSIDE  TXT", test::Pattern(100, 2));
        test::Slot end{};
        end[0] = 'X';
        end[11] = 0xCD;
        b.Append(dir, end);
        b.AddFile(dir, "AFTERCD TXT", test::Pattern(100, 3));
        // A folder cluster that nothing points at any more.
        auto lost = b.AddDir(root, "LOSTDIR");
        b.AddFile(lost, "LOST    TXT", test::Pattern(900, 4));
        std::memset(&b.image[b.RootOffset() + 2 * 32], 0, 32);  // LOSTDIR's slot in the root
        std::memset(b.image.data(), 0, 512);                    // and the boot sector
        path = b.Write("orphans-" + std::to_string(::getpid()));
    }
    ~OrphanVolume() { fs::remove(path); }
};

TEST(FatAdvancedRun, OrphansEndMarkerAndNoEntryTwice) {
    OrphanVolume v;
    AdvancedRun<Fat16Class> run(v.path, DiscoveryKind::Fat16, "fat");
    ASSERT_EQ(run.found.fatOffsets.size(), 2u);
    run.parser.RunAdvanced(0, 1);
    EXPECT_EQ(run.parser.RootAreaEnd(), v.b.RootOffset() + 16384);
    const auto names = test::ChildNames(run.parser, 0);
    EXPECT_EQ(names, (std::vector<std::string>{"ORPHAN ENTRY", "ROOTFILE.TXT", "DIRA"}));
    EXPECT_EQ(test::ChildNames(run.parser, *test::FindPath(run.parser, "/DIRA")),
              (std::vector<std::string>{"INSIDE.TXT"}));
    // The walk of DIRA ends at the 0xCD slot; the file after it is found by the scan alone. The folder whose
    // slot is lost is known by its "." slot and keeps its file.
    EXPECT_EQ(test::ChildNames(run.parser, 1), (std::vector<std::string>{"Folder at cluster 7", "AFTERCD.TXT"}));
    std::size_t inside = 0;
    for (const auto& r : run.parser.Entries()) inside += r.name == "INSIDE.TXT";
    EXPECT_EQ(inside, 1u);
    const fs::path dest = fs::temp_directory_path() / ("salvora-adv-lost-" + std::to_string(::getpid()));
    ASSERT_TRUE(run.parser.ExtractFile(*test::FindPath(run.parser, "/ORPHAN ENTRY/Folder at cluster 7/LOST.TXT"), dest.string()));
    EXPECT_EQ(test::ReadFileBytes(dest), test::Pattern(900, 4));
    fs::remove(dest);
    // The tree shows the orphan folder at the top.
    const auto top = run.tree.Children(run.tree.Root());
    ASSERT_FALSE(top.empty());
    EXPECT_EQ(run.tree.Item(top.front()).text, "ORPHAN ENTRY");
}

TEST(FatAdvancedRun, StopKeepsWhatWasFound) {
    OrphanVolume v;
    AdvancedRun<Fat16Class> run(v.path, DiscoveryKind::Fat16, "fat");
    run.parser.stopRequested = true;
    EXPECT_TRUE(run.parser.FindFatTables(3).size() == 2);  // the first 10 MiB block is searched whole
    EXPECT_TRUE(run.parser.SearchStopped());
    EXPECT_FALSE(run.parser.stopRequested.load());
    ASSERT_TRUE(run.parser.SetDeepGeometry(1));
    run.parser.stopRequested = true;
    EXPECT_EQ(run.parser.ScanSectorsForEntries(), 0u);
    EXPECT_FALSE(run.parser.stopRequested.load());
    // Nothing found: the root area is only a guess and is not walked; the two folders of every run remain.
    EXPECT_EQ(run.parser.BuildEntriesFromScan(), 2u);
}

// Boot sectors written by formatters that put their own name at byte 3.
TEST(FatBootSector, OtherFormattersNamesAreAcceptedByStructure) {
    for (const FatKind kind : {FatKind::Fat16, FatKind::Fat32}) {
        FatImageBuilder b(kind, kind == FatKind::Fat16 ? 4096 : 70000);
        std::memcpy(&b.image[3], "mkfs.fat", 8);
        const fs::path path = b.Write("oem-" + std::to_string(::getpid()));
        const auto check = [&](auto parser) {
            FileReadSeek reader;
            EXPECT_TRUE(reader.OpenSource(path.string()));
            parser->AttachReader(&reader, VolumeEntry{});
            return parser->CheckBootSector();
        };
        const auto check16 = [&] { return check(std::make_unique<Fat16Class>()); };
        const auto check32 = [&] { return check(std::make_unique<Fat32Class>()); };
        const bool fat16 = kind == FatKind::Fat16;
        EXPECT_EQ(check16(), fat16);
        EXPECT_EQ(check32(), !fat16);
        // Without its 55 AA signature (or its jump) it is not taken for a FAT boot sector by structure.
        b.image[510] = 0;
        b.Write("oem-" + std::to_string(::getpid()));
        EXPECT_FALSE(check16());
        EXPECT_FALSE(check32());
        // The OEM names accepted before still are.
        std::memcpy(&b.image[3], "MSDOS5.0", 8);
        b.Write("oem-" + std::to_string(::getpid()));
        EXPECT_EQ(check16(), fat16);
        EXPECT_EQ(check32(), !fat16);
        fs::remove(path);
    }
}

TEST(FatBootSector, MkfsFatFixtureWithoutTheOemPatchIsParsed) {
    const fs::path image = DamagedCopy("fat32.img", "fat32-oem", {});
    Patch(image, 3, {'m', 'k', 'f', 's', '.', 'f', 'a', 't'});
    auto s = test::RunStandard<Fat32Class>(image);
    EXPECT_TRUE(s->bootOk);
    EXPECT_TRUE(test::FindPath(s->parser, "/Documents/Work/Projects/2023/Reports/summary.txt"));
    fs::remove(image);
}

}  // namespace
}  // namespace salvora
