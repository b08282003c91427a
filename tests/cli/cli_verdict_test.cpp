// The verdict on each deleted file against the fixtures whose deleted files' fate is known: the manifests carry
// the truth taken from the allocation data by The Sleuth Kit and checked against the bytes left on disk
// (scripts/fixture-verdict.sh). Live files are intact, `--verdict recoverable` lists exactly the recoverable ones,
// and those come back with the bytes that were written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>

#include "cli/cli_run.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::Quote;

class VerdictFixture : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        const std::string name = std::string(GetParam()) + ".img";
        bool have = false;
        for (const std::string& f : test::ListFixtures()) have |= f == name;
        if (!have) GTEST_SKIP() << name << " is not among the fixtures";
        image_ = test::Fixture(name).string();
        manifest_ = test::ReadManifest(name);
    }

    // Files the listing can name: a removed ext4 entry whose name Linux wiped is found only by its inode.
    std::vector<nlohmann::json> NamedFiles() const {
        std::vector<nlohmann::json> out;
        for (const auto& f : manifest_["files"])
            if (!f.value("nameWiped", false)) out.push_back(f);
        return out;
    }

    std::string image_;
    nlohmann::json manifest_;
};

TEST_P(VerdictFixture, EveryFileListedWithItsTrueVerdict) {
    const test::CliRun list = Cli("list " + Quote(image_) + " --json");
    ASSERT_EQ(list.exitCode, 0) << list.err;
    std::map<std::pair<std::string, bool>, nlohmann::json> rows;  // (path, deleted)
    for (const auto& row : test::JsonLines(list.out))
        if (row.value("kind", "") == "file") rows.emplace(std::make_pair(row["path"].get<std::string>(), row["deleted"].get<bool>()), row);
    std::map<std::string, int> seen;
    for (const auto& f : NamedFiles()) {
        const std::string path = f["path"];
        const bool deleted = f["deleted"];
        const auto it = rows.find({path, deleted});
        ASSERT_NE(it, rows.end()) << (deleted ? "deleted " : "live ") << path << " is not listed";
        const std::string truth = f["verdict"];
        EXPECT_EQ(it->second.value("verdict", "(none)"), truth)
            << path << " (" << f.value("bytesInUse", 0) << " of " << f["size"] << " bytes in use)";
        ++seen[truth];
    }
    // Each fixture holds every fate, or the comparison proves little.
    for (const char* v : {"intact", "recoverable", "partial", "overwritten"}) EXPECT_GT(seen[v], 0) << v;
}

TEST_P(VerdictFixture, RecoverableSelectionIsExactAndSavesTheWrittenBytes) {
    std::set<std::string> expected;
    std::string selects;
    for (const auto& f : NamedFiles())
        if (f["verdict"] == "recoverable") {
            expected.insert(f["path"].get<std::string>());
            selects += " --select " + Quote(f["path"].get<std::string>().substr(1));
        }
    ASSERT_GE(expected.size(), 2u);

    const test::CliRun list = Cli("list " + Quote(image_) + " --verdict recoverable --json");
    ASSERT_EQ(list.exitCode, 0) << list.err;
    std::set<std::string> listed;
    for (const auto& row : test::JsonLines(list.out))
        if (row.value("kind", "") == "file") listed.insert(row["path"].get<std::string>());
    EXPECT_EQ(listed, expected);

    // Saved one by one through --select: each equals what was written before its deletion.
    const fs::path out = fs::temp_directory_path() / ("salvora-verdict-" + std::to_string(::getpid()) + "-" + GetParam());
    fs::remove_all(out);
    const test::CliRun run = Cli("--yes recover " + Quote(image_) + selects + " --out " + Quote(out.string()));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto saved = test::Sha256Tree(out);
    for (const auto& f : NamedFiles()) {
        if (f["verdict"] != "recoverable") continue;
        const std::string path = f["path"].get<std::string>().substr(1);
        const auto it = saved.find(path);
        ASSERT_NE(it, saved.end()) << path << " was not saved";
        EXPECT_EQ(it->second, f["sha256"].get<std::string>()) << path << ": not the bytes that were written";
    }
    EXPECT_EQ(saved.size(), expected.size());
    fs::remove_all(out);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, VerdictFixture, ::testing::Values("fat32-verdict", "exfat-verdict", "ext4-verdict"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

}  // namespace
}  // namespace salvora
