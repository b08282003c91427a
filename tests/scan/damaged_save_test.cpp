// Saving from a source with unreadable sectors, as a worn card has them: a reader over the real fixtures that
// fails chosen sectors. Files that cross one are kept, named with the bytes missing and never counted whole;
// every other file comes back byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "cli/tsk_compare.h"
#include "fixture_util.h"
#include "fs/fat/fat_scan_util.h"
#include "scan/fake_parser.h"
#include "scan/file_saver.h"
#include "scan/file_systems.h"
#include "scan/list_rows.h"
#include "volumes/bare_volume.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;

// Reads a fixture, failing every read of the chosen byte ranges the way the real reader reports a bad sector.
class FailingReader final : public readWriteInterface {
  public:
    explicit FailingReader(const fs::path& image) {
        inner_.OpenSource(image.string());
        sourceLength = inner_.sourceLength;
    }
    bool OpenSource(const std::string&) override { return true; }
    bool ReadAt(std::uint64_t at, std::span<std::uint8_t> out, ByteRanges* missing) override {
        bool whole = inner_.ReadAt(at, out, missing);
        for (const ByteRange& bad : bad_) {
            const std::uint64_t from = std::max(at, bad.offset);
            const std::uint64_t to = std::min(at + out.size(), bad.offset + bad.length);
            if (from >= to) continue;
            std::fill(out.begin() + static_cast<std::ptrdiff_t>(from - at),
                      out.begin() + static_cast<std::ptrdiff_t>(to - at), 0);
            AddRange(missing, from, to - from);
            whole = false;
        }
        return whole;
    }
    ByteRanges bad_;

  private:
    FileReadSeek inner_;
};

// Where byte fileOffset of the content lies on the source.
std::uint64_t SourceOffset(const EntryContent& content, std::uint64_t fileOffset) {
    for (const ContentRun& run : content.runs)
        if (run.kind == RunKind::Source && fileOffset >= run.fileOffset && fileOffset < run.fileOffset + run.length)
            return run.at + (fileOffset - run.fileOffset);
    return UINT64_MAX;
}

struct Case {
    const char* fixture;
    const char* label;
};

// A scan of the reader as the session runs one, and a save of everything it found.
struct Scanned {
    ResultTree tree;
    std::unique_ptr<ParserBase> parser;
    test::RecordingUi ui;
    ScanOutcome scanned;

    Scanned(readWriteInterface& reader, const std::string& label) : parser(FindFileSystem(label)->create()) {
        parser->tree = &tree;
        parser->statusWindow = &ui;
        ScanRequest request;
        request.source = &reader;
        scanned = parser->Scan(request);
    }
    bool Said(const std::string& start) const {
        return std::any_of(ui.statuses.begin(), ui.statuses.end(),
                           [&](const std::string& s) { return s.rfind(start, 0) == 0; });
    }
    SaveOutcome SaveAll(const fs::path& out) {
        fs::remove_all(out);
        fs::create_directories(out);
        const std::atomic<bool> cancel{false};
        FolderSaver saver(*parser, ui, cancel);
        return saver.SaveSelectedFolder(parser->RootEntry(), out.string());
    }
};

fs::path OutFolder(const std::string& tag) {
    return fs::temp_directory_path() / ("salvora-damaged-" + std::to_string(::getpid()) + "-" + tag);
}

class DamagedSave : public ::testing::TestWithParam<Case> {};

TEST_P(DamagedSave, FilesOverBadSectorsAreKeptAndNamedTheRestComeBackWhole) {
    const Case c = GetParam();
    const auto manifest = test::ReadManifest(c.fixture);
    FailingReader reader(test::Fixture(c.fixture));
    Scanned run(reader, c.label);
    ASSERT_EQ(run.scanned, ScanOutcome::Done);
    ParserBase* parser = run.parser.get();

    // Two files lose a sector each in the middle of their content; one loses its last 100 bytes.
    std::map<std::string, std::uint64_t> expectMissing;
    std::vector<std::string> lived;
    for (const auto& file : manifest["files"])
        if (!file["deleted"].get<bool>()) lived.push_back(file["path"]);
    std::size_t picked = 0;
    for (const std::string& path : lived) {
        const auto id = test::FindPath(*parser, path);
        if (picked == 3 || !id) continue;
        const auto content = parser->Content(*id);
        if (!content || content->size < 4096) continue;
        const std::uint64_t middle = SourceOffset(*content, 2048);
        const std::uint64_t tail = SourceOffset(*content, content->size - 100);
        if (middle == UINT64_MAX || tail == UINT64_MAX) continue;
        if (picked < 2) {
            reader.bad_.push_back({middle, 512});
            expectMissing[path.substr(1)] = 512;
        } else {
            reader.bad_.push_back({tail, 100});
            expectMissing[path.substr(1)] = 100;
        }
        ++picked;
    }
    ASSERT_EQ(picked, 3u) << "the fixture has too few files of 4 KiB";

    const fs::path out = OutFolder(c.label);
    const SaveOutcome outcome = run.SaveAll(out);
    const auto& ui = run.ui;
    EXPECT_EQ(outcome.filesFailed, 0u);
    std::map<std::string, std::uint64_t> named;
    for (const DamagedFile& file : outcome.damagedFiles) named[file.path] = file.missing;
    for (const auto& [path, missing] : expectMissing) EXPECT_EQ(named[path], missing) << path;
    // A deleted file read on from its first cluster may run into a bad sector too; nothing else may.
    std::set<std::string> deleted;
    for (const auto& file : manifest["files"])
        if (file["deleted"].get<bool>()) deleted.insert(file["path"].get<std::string>().substr(1));
    for (const auto& [path, missing] : named) EXPECT_TRUE(expectMissing.count(path) || deleted.count(path)) << path;
    EXPECT_EQ(outcome.filesDamaged, named.size());
    EXPECT_NE(SaveSummaryText(outcome).find(", " + std::to_string(named.size()) + " saved damaged"), std::string::npos)
        << SaveSummaryText(outcome);
    ASSERT_FALSE(ui.messages.empty());
    EXPECT_EQ(ui.messages.back().icon, MsgIcon::Warning);
    for (const auto& [path, missing] : expectMissing)
        EXPECT_NE(ui.messages.back().text.find("damaged: " + path + " (" + std::to_string(missing) + " of "),
                  std::string::npos)
            << ui.messages.back().text;

    for (const auto& file : manifest["files"]) {
        if (file["deleted"].get<bool>()) continue;
        const std::string rel = file["path"].get<std::string>().substr(1);
        const fs::path saved = out / rel;
        ASSERT_TRUE(fs::is_regular_file(saved)) << rel;  // damaged ones too: their good bytes are kept
        EXPECT_EQ(fs::file_size(saved), file["size"].get<std::uint64_t>()) << rel;
        if (expectMissing.count(rel)) {
            EXPECT_NE(test::Sha256Of(saved), file["sha256"].get<std::string>()) << rel;
        } else {
            EXPECT_EQ(test::Sha256Of(saved), file["sha256"].get<std::string>()) << rel;
        }
    }
    EXPECT_EQ(outcome.filesWritten + outcome.filesDamaged, outcome.fileCount);
    fs::remove_all(out);
}

TEST(DamagedFat, AnUnreadableFatIsReadFromItsCopyAndWhereNoCopyHelpsGuessedAndSaidDamaged) {
    for (const Case c : {Case{"fat16.img", "FAT16"}, Case{"fat32.img", "FAT32"}}) {
        const std::string image = test::ReadAll(test::Fixture(c.fixture));
        const auto le = [&](std::size_t at, int bytes) {
            std::uint64_t v = 0;
            for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(image[at + i]);
            return v;
        };
        const std::uint64_t sector = le(11, 2);
        const std::uint64_t fatBytes = (le(22, 2) != 0 ? le(22, 2) : le(36, 4)) * sector;
        const std::uint64_t firstFat = le(14, 2) * sector;
        const auto manifest = test::ReadManifest(c.fixture);
        for (const bool bothCopies : {false, true}) {
            FailingReader reader(test::Fixture(c.fixture));
            if (bothCopies) {
                // The FAT's first sector, in both copies: the chains of the first files written.
                reader.bad_.push_back({firstFat, sector});
                reader.bad_.push_back({firstFat + fatBytes, sector});
            } else {
                reader.bad_.push_back({firstFat, fatBytes});
            }
            Scanned run(reader, c.label);
            ASSERT_EQ(run.scanned, ScanOutcome::Done) << c.label;
            const fs::path out = OutFolder(std::string("fat-") + c.label);
            const SaveOutcome outcome = run.SaveAll(out);
            EXPECT_EQ(outcome.filesFailed, 0u) << c.label;
            std::set<std::string> damaged;
            for (const DamagedFile& file : outcome.damagedFiles) damaged.insert(file.path);
            std::size_t rightAnyway = 0;
            const auto inNamedFolder = [&](const std::string& rel) {
                for (const std::string& folder : outcome.unreadableFolders)
                    if (folder.empty() || rel.rfind(folder + "/", 0) == 0) return true;
                return false;
            };
            for (const auto& file : manifest["files"]) {
                if (file["deleted"].get<bool>()) continue;
                const std::string rel = file["path"].get<std::string>().substr(1);
                const bool same = test::Sha256Of(out / rel) == file["sha256"].get<std::string>();
                if (!bothCopies) {
                    EXPECT_TRUE(same && !damaged.count(rel)) << c.label << " " << rel;
                } else {
                    // Never silently wrong or missing; the guess is right for a file written in one piece.
                    EXPECT_TRUE(same || damaged.count(rel) || inNamedFolder(rel)) << c.label << " " << rel;
                    rightAnyway += same && damaged.count(rel);
                }
            }
            if (bothCopies) {
                EXPECT_TRUE(run.Said("Parts of the FAT could not be read from any copy")) << c.label;
                EXPECT_GT(rightAnyway, 0u) << c.label;
            } else {
                EXPECT_TRUE(run.Said("Parts of the FAT could not be read: they were read from its copy.")) << c.label;
            }
            fs::remove_all(out);
        }
    }
}

TEST(DamagedBoot, AnUnreadableBootSectorIsTakenFromItsBackup) {
    const auto paths = [](Scanned& run) {
        std::vector<std::string> out;
        if (run.scanned == ScanOutcome::Done) test::CollectPaths(*run.parser, run.parser->RootEntry(), "", out);
        return out;
    };
    for (const Case c : {Case{"fat32.img", "FAT32"}, Case{"exfat.img", "FAT64"}}) {
        FailingReader intact(test::Fixture(c.fixture));
        Scanned whole(intact, c.label);
        const std::vector<std::string> expected = paths(whole);
        ASSERT_GT(expected.size(), 10u) << c.label;

        FailingReader reader(test::Fixture(c.fixture));
        reader.bad_.push_back({0, 512});
        const auto bare = ProbeBareVolume(reader);
        ASSERT_TRUE(bare.has_value()) << c.label;
        EXPECT_EQ(bare->fileSystemLabel, c.label);
        Scanned run(reader, bare->fileSystemLabel);
        EXPECT_EQ(paths(run), expected) << c.label;
        EXPECT_TRUE(run.Said("The boot sector could not be read: its backup")) << c.label;
    }
    // FAT16 keeps no backup: an unreadable sector 0 is not guessed around.
    FailingReader fat16(test::Fixture("fat16.img"));
    fat16.bad_.push_back({0, 512});
    EXPECT_FALSE(ProbeBareVolume(fat16).has_value());
}

// A folder whose first block cannot be read, found with The Sleuth Kit (fls -D, istat): named when the scan reads
// it and in the save's summary; the other folders' files are saved.
TEST(DamagedFolder, AFolderThatCannotBeReadIsNamed) {
    if (!test::HaveTool("fls") || !test::HaveTool("istat")) GTEST_SKIP() << "sleuthkit is missing";
    for (const Case c : {Case{"fat32.img", "FAT32"}, Case{"exfat.img", "FAT64"}, Case{"ext4.img", "extX"}}) {
        const std::string image = test::Quote(test::Fixture(c.fixture).string());
        std::set<std::string> holding;  // folders with a live file right inside
        const auto manifest = test::ReadManifest(c.fixture);
        for (const auto& file : manifest["files"]) {
            const std::string path = file["path"];
            if (!file["deleted"].get<bool>() && path.rfind('/') > 0) holding.insert(path.substr(1, path.rfind('/') - 1));
        }
        std::string folder, inode;
        std::istringstream dirs(test::Shell("fls -r -p -D " + image));
        for (std::string line; folder.empty() && std::getline(dirs, line);) {
            const auto tab = line.find('\t');
            if (line.rfind("d/d ", 0) == 0 && tab != std::string::npos && holding.count(line.substr(tab + 1))) {
                folder = line.substr(tab + 1);
                inode = line.substr(4, line.find(':') - 4);
            }
        }
        ASSERT_FALSE(folder.empty()) << c.label;
        const std::string stat = test::Shell("istat " + image + " " + inode);
        const bool blocks = stat.find("Direct Blocks:") != std::string::npos;
        const std::string head = blocks ? "Direct Blocks:\n" : "Sectors:\n";
        ASSERT_NE(stat.find(head), std::string::npos) << stat;
        const std::uint64_t first = std::stoull(stat.substr(stat.find(head) + head.size()));
        const std::string fsstat = test::Shell("fsstat " + image);
        const std::uint64_t unit = blocks ? std::stoull(fsstat.substr(fsstat.find("Block Size: ") + 12)) : 512;

        FailingReader reader(test::Fixture(c.fixture));
        reader.bad_.push_back({first * unit, 512});
        Scanned run(reader, c.label);
        ASSERT_EQ(run.scanned, ScanOutcome::Done) << c.label;
        EXPECT_TRUE(run.Said("Folder ")) << c.label << " " << folder;
        const fs::path out = OutFolder(std::string("dir-") + c.label);
        const SaveOutcome outcome = run.SaveAll(out);
        EXPECT_EQ(outcome.unreadableFolders, std::vector<std::string>{folder}) << c.label;
        EXPECT_EQ(run.ui.messages.back().icon, MsgIcon::Warning);
        EXPECT_NE(run.ui.messages.back().text.find(UnreadableFolderLine(folder)), std::string::npos)
            << run.ui.messages.back().text;
        fs::remove_all(out);

        // The result tree marks the folder, and only it, when its parent is opened.
        PlaceFirstLevelPlaceholders(run.tree, *run.parser);
        ItemId item = run.tree.Root();
        std::istringstream parts(folder);
        for (std::string name; item != kNoItem && std::getline(parts, name, '/');) {
            EXPECT_FALSE(run.tree.Item(item).unreadable) << c.label << " " << run.tree.Item(item).text;
            FillFolderChildren(run.tree, *run.parser, item);
            ItemId next = kNoItem;
            for (ItemId child : run.tree.Children(item))
                if (run.tree.Item(child).text == name) next = child;
            item = next;
        }
        ASSERT_NE(item, kNoItem) << c.label << " " << folder;
        EXPECT_TRUE(run.tree.Item(item).unreadable) << c.label << " " << folder;
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DamagedSave,
                         ::testing::Values(Case{"fat32.img", "FAT32"}, Case{"exfat.img", "exFAT"},
                                           Case{"ext4.img", "extX"}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace salvora
