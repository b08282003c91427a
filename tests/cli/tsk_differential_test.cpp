// Every volume fixture (FAT12/16/32, exFAT, ext2/3/4, HFS+) read by salvora-cli and by The Sleuth Kit: the
// names, kinds, deleted flags and sizes of `list --json` equal `fls -r -p -l`, and every live file `recover`
// saves equals what tsk_recover saves. Known, explained differences live in tests/fixtures/tsk-differences.txt.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "cli/tsk_compare.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::Quote;

struct VolumeFixture {
    std::string name;  // "ext4.img"
};

std::vector<VolumeFixture> VolumeFixtures() {
    std::vector<VolumeFixture> out;
    for (const std::string& name : test::ListFixtures()) {
        try {
            if (test::ReadManifest(name).value("kind", "") == "volume") out.push_back({name});
        } catch (const std::exception&) {
        }
    }
    return out;
}

class TskDifferential : public ::testing::TestWithParam<VolumeFixture> {
  protected:
    void SetUp() override {
        if (!test::HaveTool("fls") || !test::HaveTool("tsk_recover"))
            GTEST_SKIP() << "The Sleuth Kit (package sleuthkit) is missing";
        image_ = test::Fixture(GetParam().name).string();
        fixture_ = GetParam().name.substr(0, GetParam().name.find('.'));
        for (const auto& [fixture, path] : test::AllowedDifferences())
            if (fixture == fixture_) allowed_.insert(path);
        tsk_ = test::ParseFlsLong(test::Shell("fls -r -p -l " + Quote(image_) + " 2>/dev/null"));
        const test::CliRun list = Cli("list " + Quote(image_) + " --json");
        ASSERT_EQ(list.exitCode, 0) << list.err;
        ours_ = test::ListedEntries(list.out);
        for (const auto& e : ours_) {
            byPath_.emplace(e.path, &e);
            byMasked_.emplace(test::MaskedPath(e.path), &e);
        }
        ASSERT_FALSE(tsk_.empty());
    }

    const test::ListedEntry* Ours(const test::TskEntry& e) const {
        if (const auto it = byPath_.find(e.path); it != byPath_.end()) return it->second;
        if (!e.deleted) return nullptr;
        // Deleted short names lost their first character; several may share a masked path.
        const auto [from, to] = byMasked_.equal_range(test::MaskedPath(e.path));
        for (auto it = from; it != to; ++it)
            if (it->second->deleted && it->second->kind == e.kind) return it->second;
        return from != to ? from->second : nullptr;
    }

    std::string image_;
    std::string fixture_;
    // A path of the allow-list, or one below a folder listed there as "FOLDER/*".
    bool Allowed(const std::string& path) const {
        if (allowed_.count(path)) return true;
        for (auto slash = path.rfind('/'); slash != std::string::npos && slash > 0; slash = path.rfind('/', slash - 1))
            if (allowed_.count(path.substr(0, slash) + "/*")) return true;
        return false;
    }

    std::set<std::string> allowed_;
    std::vector<test::TskEntry> tsk_;
    std::vector<test::ListedEntry> ours_;
    std::map<std::string, const test::ListedEntry*> byPath_;
    std::multimap<std::string, const test::ListedEntry*> byMasked_;
};

TEST_P(TskDifferential, ListingEqualsFls) {
    std::set<const test::ListedEntry*> matched;
    int compared = 0;
    for (const auto& e : tsk_) {
        if (Allowed(e.path)) continue;
        const test::ListedEntry* ours = Ours(e);
        EXPECT_NE(ours, nullptr) << "fls lists " << (e.deleted ? "deleted " : "") << e.kind << " " << e.path
                                 << " (inode " << e.inode << "); list does not";
        if (!ours) continue;
        matched.insert(ours);
        ++compared;
        if (e.kind != "other") {
            EXPECT_EQ(ours->kind, e.kind) << e.path;
        }
        EXPECT_EQ(ours->deleted, e.deleted) << e.path;
        if (e.kind == "file" && e.size && !e.reallocated) {
            EXPECT_EQ(ours->size, *e.size) << e.path;
        }
    }
    for (const auto& e : ours_) {
        if (e.deleted || matched.count(&e) || Allowed(e.path)) continue;
        ADD_FAILURE() << "list shows live " << e.kind << " " << e.path << "; fls does not";
    }
    EXPECT_GT(compared, 5);
}

TEST_P(TskDifferential, SavedFilesEqualTskRecover) {
    const fs::path dir = fs::temp_directory_path() / ("salvora-tskdiff-" + std::to_string(::getpid()) + "-" + fixture_);
    fs::remove_all(dir);
    const test::CliRun run = Cli("--yes recover " + Quote(image_) + " --out " + Quote((dir / "ours").string()));
    // Only a deleted file whose clusters were taken may fail to come back whole, and it must be named.
    if (run.exitCode != 0) {
        ASSERT_EQ(run.exitCode, 3) << run.err;
        std::istringstream lines(run.err);
        int damaged = 0;
        for (std::string line; std::getline(lines, line);) {
            const auto at = line.find("damaged: ");
            if (at == std::string::npos) continue;
            const std::string path = "/" + line.substr(at + 9, line.rfind(" (") - at - 9);
            const auto e = std::find_if(ours_.begin(), ours_.end(), [&](const auto& x) { return x.path == path; });
            ASSERT_TRUE(e != ours_.end() && e->deleted) << "a live or unlisted file was not saved whole: " << line;
            ++damaged;
        }
        ASSERT_GT(damaged, 0) << run.err;
    }
    ASSERT_EQ(std::system(("tsk_recover -a " + Quote(image_) + " " + Quote((dir / "tsk").string()) +
                           " >/dev/null 2>&1")
                              .c_str()),
              0);
    int compared = 0;
    for (const auto& e : tsk_) {
        if (e.deleted || e.kind != "file" || Allowed(e.path)) continue;
        const fs::path theirs = dir / "tsk" / e.path.substr(1);
        if (!fs::exists(theirs)) continue;  // tsk_recover leaves out names it cannot make
        const fs::path ours = dir / "ours" / e.path.substr(1);
        ASSERT_TRUE(fs::exists(ours)) << e.path << " was not saved";
        EXPECT_TRUE(test::ReadAll(ours) == test::ReadAll(theirs)) << e.path << ": bytes differ from tsk_recover's";
        ++compared;
    }
    EXPECT_GT(compared, 5);
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, TskDifferential, ::testing::ValuesIn(VolumeFixtures()),
                         [](const testing::TestParamInfo<VolumeFixture>& info) {
                             std::string name = info.param.name.substr(0, info.param.name.find('.'));
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
}  // namespace salvora
