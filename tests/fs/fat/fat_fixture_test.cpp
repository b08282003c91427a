// The FAT16 and FAT32 standard runs over the committed fixture images (mkfs.fat + mtools): every file and
// folder of the manifest is found with its size and deleted state, and content comes back with the recorded
// sha256. Needs tests/fixtures/fat16.img.zst, fat32.img.zst and sha256sum.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "fat_scan_util.h"
#include "fixture_util.h"
#include "fs/fat/fat16_class.h"
#include "fs/fat/fat32_class.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Sha256Of;

// Deleted short names lose their first character; compare paths with every component's first one masked.
std::string Masked(const std::string& path) {
    std::string out;
    bool start = true;
    for (std::size_t i = 0; i < path.size();) {
        if (path[i] == '/') {
            out += '/';
            start = true;
            ++i;
            continue;
        }
        std::size_t len = 1;
        const auto c = static_cast<unsigned char>(path[i]);
        if (c >= 0xF0)
            len = 4;
        else if (c >= 0xE0)
            len = 3;
        else if (c >= 0xC0)
            len = 2;
        out += start ? std::string("?") : path.substr(i, len);
        start = false;
        i += len;
    }
    return out;
}

template <class Parser>
void CheckFixture(const std::string& name) {
    const auto manifest = test::ReadManifest(name);
    auto s = test::RunStandard<Parser>(test::Fixture(name));
    ASSERT_TRUE(s->bootOk) << name;
    const auto& p = s->parser;

    std::map<std::string, EntryId> byPath, byMasked;
    std::vector<std::pair<std::string, EntryId>> stack{{"", p.RootEntry()}};
    while (!stack.empty()) {
        auto [prefix, id] = stack.back();
        stack.pop_back();
        for (EntryId c : test::Children(p, id)) {
            const std::string path = prefix + "/" + p.EntryName(c);
            byPath.emplace(path, c);
            byMasked.emplace(Masked(path), c);
            if (p.IsWalkFolder(c)) stack.emplace_back(path, c);
        }
    }

    for (const auto& d : manifest["dirs"]) {
        const std::string path = d["path"];
        if (d.value("deleted", false)) {
            EXPECT_TRUE(byMasked.count(Masked(path))) << path;
        } else {
            ASSERT_TRUE(byPath.count(path)) << path;
            EXPECT_TRUE(p.IsFolder(byPath[path])) << path;
        }
    }
    const fs::path out = fs::temp_directory_path() / ("salvora-fatfix-" + std::to_string(::getpid()));
    fs::remove_all(out);
    fs::create_directories(out);
    int extracted = 0;
    for (const auto& f : manifest["files"]) {
        const std::string path = f["path"];
        const bool deleted = f.value("deleted", false);
        auto it = byPath.find(path);
        if (it == byPath.end() && deleted) it = byMasked.find(Masked(path));
        if (deleted && it == byPath.end()) {
            // a deleted entry inside a deleted folder keeps only its masked name
            bool found = false;
            for (const auto& [k, v] : byMasked) found = found || k == Masked(path);
            EXPECT_TRUE(found) << path;
            continue;
        }
        ASSERT_NE(it, byPath.end()) << path;
        const EntryId id = it->second;
        EXPECT_EQ(p.IsDeleted(id), deleted) << path;
        EXPECT_EQ(p.EntrySizeBytes(id), f["size"].get<std::uint64_t>()) << path;
        if (deleted) continue;
        const fs::path dest = out / ("f" + std::to_string(extracted++));
        EXPECT_TRUE(const_cast<Parser&>(p).ExtractFile(id, dest.string())) << path;
        EXPECT_EQ(Sha256Of(dest), f["sha256"].get<std::string>()) << path;
    }
    EXPECT_GT(extracted, 50);
    fs::remove_all(out);
}

TEST(FatFixture, Fat16ImageMatchesItsManifest) { CheckFixture<Fat16Class>("fat16.img"); }
TEST(FatFixture, Fat32ImageMatchesItsManifest) { CheckFixture<Fat32Class>("fat32.img"); }

TEST(FatFixture, DeletedContiguousFileComesBackWhole) {
    for (const std::string name : {"fat16.img", "fat32.img"}) {
        const auto manifest = test::ReadManifest(name);
        std::string sha;
        for (const auto& f : manifest["files"])
            if (f["path"] == "/ToDelete/contig.bin") sha = f["sha256"];
        ASSERT_FALSE(sha.empty());
        std::unique_ptr<ParserBase> keep;
        auto run = [&](auto s) {
            const auto dir = test::FindPath(s->parser, "/ToDelete");
            ASSERT_TRUE(dir);
            std::optional<EntryId> hit;
            for (EntryId c : test::Children(s->parser, *dir))
                if (s->parser.IsDeleted(c) && Masked(s->parser.EntryName(c)) == Masked("contig.bin")) hit = c;
            ASSERT_TRUE(hit) << name;
            const fs::path dest =
                fs::temp_directory_path() / ("salvora-contig-" + std::to_string(::getpid()));
            fs::remove(dest);
            EXPECT_TRUE(s->parser.ExtractFile(*hit, dest.string()));
            EXPECT_EQ(Sha256Of(dest), sha) << name;
            fs::remove(dest);
        };
        if (name == "fat16.img") {
            run(test::RunStandard<Fat16Class>(test::Fixture(name)));
        } else {
            run(test::RunStandard<Fat32Class>(test::Fixture(name)));
        }
    }
}

}  // namespace
}  // namespace salvora
