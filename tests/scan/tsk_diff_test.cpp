// Differential tests against The Sleuth Kit on every FAT16/FAT32 volume fixture: the live listing equals
// `fls -r -p -l`, every deleted entry fls lists is listed, saved files equal tsk_recover/icat, and deleted
// files that were stored contiguously come back whole. Uses fls/icat when installed, else the listing the
// manifest recorded.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "fixture_util.h"
#include "fs/fat/fat16_class.h"
#include "fs/fat/fat32_class.h"
#include "scan/fake_parser.h"
#include "scan/file_saver.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::ReadAll;
using test::Sha256Of;
using test::Shell;

bool HaveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// A deleted short name has lost its first character (fls shows '_', we show U+FFE5, the manifest the
// original): deleted entries are matched with the first character of every path component masked.
std::string Masked(const std::string& path) {
    std::string out;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (!out.empty()) out += '/';
        if (!part.empty()) {
            std::size_t first = 1;
            while (first < part.size() && (static_cast<unsigned char>(part[first]) & 0xC0) == 0x80) ++first;
            part = "?" + part.substr(first);
        }
        out += part;
    }
    return out;
}

struct TskEntry {
    std::string inode;
    std::string path;  // as fls -p prints it: no leading '/'
    bool dir = false;
    bool deleted = false;
    std::optional<std::uint64_t> size;
};

// fls -r -p [-l] output; virtual files and the volume label are left out.
std::vector<TskEntry> ParseFls(const std::string& text) {
    std::vector<TskEntry> entries;
    std::stringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        std::stringstream head(line.substr(0, tab));
        std::string type, word;
        head >> type;
        TskEntry e;
        while (head >> word) {
            if (word == "*")
                e.deleted = true;
            else
                e.inode = word.substr(0, word.find(':'));
        }
        if (type == "v/v" || type == "V/V") continue;
        std::vector<std::string> fields;
        std::stringstream rest(line.substr(tab + 1));
        std::string field;
        while (std::getline(rest, field, '\t')) fields.push_back(field);
        if (fields.empty() || fields[0].find("(Volume Label Entry)") != std::string::npos) continue;
        e.path = fields[0];
        e.dir = type.back() == 'd';
        if (fields.size() >= 8) e.size = std::stoull(fields[5]);
        entries.push_back(e);
    }
    return entries;
}

struct OurEntry {
    EntryId id;
    std::string path;
    bool folder;
    bool deleted;  // itself or a folder above it
    std::uint64_t size;
};

struct Scan {
    FileReadSeek reader;
    std::unique_ptr<FatParser> parser;
    ResultTree tree;
    std::vector<OurEntry> entries;
};

std::unique_ptr<Scan> RunParser(const std::string& fixture, const std::string& fileSystem) {
    auto s = std::make_unique<Scan>();
    if (!s->reader.OpenSource(test::Fixture(fixture).string())) return s;
    if (fileSystem == "FAT16")
        s->parser = std::make_unique<Fat16Class>();
    else
        s->parser = std::make_unique<Fat32Class>();
    FatParser& p = *s->parser;
    p.tree = &s->tree;
    ScanRequest request;
    request.source = &s->reader;
    if (p.Scan(request) != ScanOutcome::Done) return s;
    struct Level {
        std::optional<EntryId> next;
        std::string path;
        bool deleted;
    };
    std::vector<Level> stack{{p.FirstChild(p.RootEntry()), "", false}};
    while (!stack.empty() && s->entries.size() < 1000000) {
        if (!stack.back().next) {
            stack.pop_back();
            continue;
        }
        const EntryId id = *stack.back().next;
        stack.back().next = p.NextSibling(id);
        const Level& at = stack.back();
        OurEntry e{id, at.path.empty() ? p.EntryName(id) : at.path + "/" + p.EntryName(id), p.IsFolder(id),
                   at.deleted || p.IsDeleted(id), p.EntrySizeBytes(id)};
        s->entries.push_back(e);
        if (e.folder) stack.push_back({p.FirstChild(id), e.path, e.deleted});
    }
    return s;
}

struct FatFixture {
    std::string name;
    std::string fileSystem;
};

std::vector<FatFixture> FatFixtures() {
    std::vector<FatFixture> out;
    for (const std::string& name : test::ListFixtures()) {
        try {
            const auto manifest = test::ReadManifest(name);
            const std::string fileSystem = manifest.value("filesystem", "");
            // The bare volumes with the contiguous deleted file these cases check (one per FAT width).
            bool contig = false;
            for (const auto& f : manifest.value("files", nlohmann::json::array()))
                contig |= f.value("path", "") == "/ToDelete/contig.bin";
            if (manifest.value("kind", "") == "volume" && (fileSystem == "FAT16" || fileSystem == "FAT32") && contig)
                out.push_back({name, fileSystem});
        } catch (const std::exception&) {
        }
    }
    return out;
}

class TskDiff : public ::testing::TestWithParam<FatFixture> {
  protected:
    void SetUp() override {
        manifest_ = test::ReadManifest(GetParam().name);
        image_ = test::Fixture(GetParam().name);
        haveTsk_ = HaveTool("fls") && HaveTool("icat");
        if (haveTsk_) {
            tsk_ = ParseFls(Shell("fls -r -p -l " + Quote(image_.string())));
        } else {
            // The listing recorded when the fixture was made; sizes from the manifest's file list.
            tsk_ = ParseFls(manifest_.value("fls", ""));
            std::map<std::string, std::uint64_t> sizes;
            for (const auto& f : manifest_["files"])
                sizes[f["path"].get<std::string>().substr(1)] = f["size"];
            for (auto& e : tsk_)
                if (!e.deleted && !e.dir && sizes.count(e.path)) e.size = sizes[e.path];
        }
        ASSERT_FALSE(tsk_.empty());
        scan_ = RunParser(GetParam().name, GetParam().fileSystem);
        ASSERT_TRUE(scan_->parser && scan_->parser->BootValid());
        for (const auto& e : scan_->entries) {
            byMaskedPath_.emplace(Masked(e.path), &e);
            byPath_.emplace(e.path, &e);
        }
        for (const auto& f : manifest_["files"])
            recorded_[f["path"].get<std::string>().substr(1)] = f["size"];
    }

    // Saves the root with the results page's save into a fresh folder.
    fs::path SaveAll() {
        const fs::path out = fs::temp_directory_path() /
                             ("salvora-tsk-" + std::to_string(::getpid()) + "-" + GetParam().fileSystem);
        fs::remove_all(out);
        fs::create_directories(out);
        test::RecordingUi ui;
        std::atomic<bool> cancel{false};
        FolderSaver saver(*scan_->parser, ui, cancel);
        const SaveOutcome outcome = saver.SaveSelectedFolder(scan_->parser->RootEntry(), out.string());
        EXPECT_TRUE(outcome.walked);
        return out;
    }
    std::string Icat(const TskEntry& e) { return Shell("icat " + Quote(image_.string()) + " " + e.inode); }
    // Our entry for an fls line: the same path; for a deleted entry the same masked path. fls cuts very long
    // names short (it lists a 204-character name without its ".txt"): a live file whose path fls gives as a
    // prefix of ours is ours when the manifest records our full path with the same size.
    const OurEntry* Ours(const TskEntry& e) {
        if (const auto it = byPath_.find(e.path); it != byPath_.end()) return it->second;
        if (e.deleted) {
            const auto it = byMaskedPath_.find(Masked(e.path));
            return it == byMaskedPath_.end() ? nullptr : it->second;
        }
        for (const auto& [path, ours] : byPath_) {
            if (path.size() > e.path.size() && path.rfind(e.path, 0) == 0 &&
                path.find('/', e.path.size()) == std::string::npos && recorded_.count(path) &&
                recorded_[path] == ours->size && (!e.size || *e.size == ours->size))
                return ours;
        }
        return nullptr;
    }

    nlohmann::json manifest_;
    fs::path image_;
    bool haveTsk_ = false;
    std::vector<TskEntry> tsk_;
    std::unique_ptr<Scan> scan_;
    std::multimap<std::string, const OurEntry*> byMaskedPath_;
    std::map<std::string, const OurEntry*> byPath_;
    std::map<std::string, std::uint64_t> recorded_;  // manifest path (no leading '/') -> size
};

TEST_P(TskDiff, LiveEntriesEqualFls) {
    std::set<EntryId> matched;
    for (const auto& e : tsk_) {
        if (e.deleted) continue;
        const OurEntry* ours = Ours(e);
        EXPECT_NE(ours, nullptr) << "fls lists " << e.path << (e.dir ? "/" : "") << ", we do not";
        if (!ours) continue;
        matched.insert(ours->id);
        EXPECT_EQ(ours->folder, e.dir) << e.path;
        EXPECT_FALSE(ours->deleted) << e.path << " is live for fls, deleted for us";
        if (!e.dir && e.size) {
            EXPECT_EQ(ours->size, *e.size) << e.path << ": size";
        }
    }
    for (const auto& e : scan_->entries)
        EXPECT_TRUE(e.deleted || matched.count(e.id)) << "we list " << e.path << " as live, fls does not";
}

TEST_P(TskDiff, EveryDeletedEntryFlsListsIsListed) {
    int checked = 0;
    for (const auto& e : tsk_) {
        if (!e.deleted) continue;
        ++checked;
        const OurEntry* ours = Ours(e);
        EXPECT_NE(ours, nullptr) << "deleted " << e.path << " (inode " << e.inode << ") is missing";
        if (!ours) continue;
        EXPECT_EQ(ours->folder, e.dir) << e.path;
        if (!e.dir && e.size) {
            EXPECT_EQ(ours->size, *e.size) << e.path;
        }
    }
    EXPECT_GT(checked, 0);
}

TEST_P(TskDiff, SavedLiveFilesEqualIcat) {
    const fs::path out = SaveAll();
    int compared = 0;
    if (haveTsk_) {
        // One tsk_recover run gives the bytes of every allocated file; icat serves any it could not name.
        const fs::path tskOut = out.string() + ".tsk";
        fs::remove_all(tskOut);
        const bool recovered =
            HaveTool("tsk_recover") && std::system(("tsk_recover -a " + Quote(image_.string()) + " " +
                                                    Quote(tskOut.string()) + " >/dev/null 2>&1")
                                                       .c_str()) == 0;
        for (const auto& e : tsk_) {
            if (e.deleted || e.dir) continue;
            const OurEntry* ours = Ours(e);
            ASSERT_NE(ours, nullptr) << e.path;
            const fs::path saved = out / ours->path;
            ASSERT_TRUE(fs::exists(saved)) << e.path << " was not saved";
            const fs::path tskFile = tskOut / e.path;
            const std::string expected = recovered && fs::exists(tskFile) ? ReadAll(tskFile) : Icat(e);
            const std::string got = ReadAll(saved);
            EXPECT_EQ(got.size(), expected.size()) << e.path;
            EXPECT_TRUE(got == expected) << e.path << ": saved bytes differ from The Sleuth Kit's";
            ++compared;
        }
        fs::remove_all(tskOut);
    } else {
        for (const auto& f : manifest_["files"]) {
            if (f.value("deleted", false)) continue;
            const fs::path saved = out / f["path"].get<std::string>().substr(1);
            EXPECT_EQ(Sha256Of(saved), f["sha256"].get<std::string>()) << f["path"];
            ++compared;
        }
    }
    EXPECT_GT(compared, 20);
    fs::remove_all(out);
}

TEST_P(TskDiff, DeletedContiguousFilesComeBackWhole) {
    // A deleted file was contiguous and is intact when reading consecutive clusters from its first one
    // (icat's way) gives the content the manifest recorded before deletion.
    std::map<std::string, std::string> recorded;  // normalized path -> sha256
    for (const auto& f : manifest_["files"])
        if (f.value("deleted", false)) recorded[Masked(f["path"].get<std::string>().substr(1))] = f["sha256"];
    const fs::path out = SaveAll();
    std::set<std::string> checked;
    for (const auto& e : tsk_) {
        if (!e.deleted || e.dir || !recorded.count(Masked(e.path))) continue;
        if (haveTsk_) {
            const fs::path copy = out.string() + ".icat";
            { std::ofstream(copy, std::ios::binary) << Icat(e); }
            const bool intact = Sha256Of(copy) == recorded[Masked(e.path)];
            fs::remove(copy);
            if (!intact) continue;
        } else if (Masked(e.path) != Masked("ToDelete/contig.bin")) {
            continue;
        }
        const OurEntry* ours = Ours(e);
        ASSERT_NE(ours, nullptr) << e.path;
        EXPECT_EQ(Sha256Of(out / ours->path), recorded[Masked(e.path)])
            << "deleted " << e.path << " (saved as " << ours->path << ") did not come back whole";
        checked.insert(Masked(e.path));
    }
    RecordProperty("deletedFilesChecked", static_cast<int>(checked.size()));
    EXPECT_TRUE(checked.count(Masked("ToDelete/contig.bin")))
        << "the contiguous deleted file was not among those checked";
    fs::remove_all(out);
}

INSTANTIATE_TEST_SUITE_P(FatFixtures, TskDiff, ::testing::ValuesIn(FatFixtures()),
                         [](const testing::TestParamInfo<FatFixture>& info) {
                             return info.param.fileSystem;
                         });

}  // namespace
}  // namespace salvora
