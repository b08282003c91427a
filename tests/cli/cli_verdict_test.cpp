// The verdict on each deleted file against the fixtures whose deleted files' fate is known: the manifests carry
// the truth taken from the allocation data by The Sleuth Kit and checked against the bytes left on disk
// (scripts/fixture-verdict.sh). Live files are intact, `--verdict recoverable` lists exactly the recoverable ones,
// and those come back with the bytes that were written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
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
        if (truth == "partial") EXPECT_EQ(it->second.value("bytesInUse", 0), f.value("bytesInUse", -1)) << path;
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

// NTFS against The Sleuth Kit: each deleted file's clusters (istat) looked up in the cluster allocation blkls
// reads from $Bitmap give the verdict it must have.
TEST(VerdictNtfs, DeletedFilesJudgedAsTheSleuthKitsAllocationSays) {
    if (std::system("command -v istat >/dev/null && command -v blkls >/dev/null") != 0)
        GTEST_SKIP() << "The Sleuth Kit (istat, blkls) is not installed";
    const std::string image = test::Fixture("ntfs-4k.img").string();
    std::set<std::uint64_t> allocated;
    {
        std::istringstream lines(test::Shell("blkls -e -l " + Quote(image)));
        for (std::string line; std::getline(lines, line);)
            if (line.size() > 2 && line.compare(line.size() - 2, 2, "|a") == 0 && std::isdigit(line[0]))
                allocated.insert(std::stoull(line));
    }
    ASSERT_GT(allocated.size(), 100u);
    std::map<std::string, std::string> ours;  // name -> verdict; a name given twice is left out
    std::set<std::string> twice;
    const test::CliRun list = Cli("list " + Quote(image) + " --json --deleted");
    ASSERT_EQ(list.exitCode, 0) << list.err;
    for (const auto& row : test::JsonLines(list.out)) {
        const std::string path = row["path"];
        const std::string name = path.substr(path.rfind('/') + 1);
        if (!ours.emplace(name, row["verdict"].get<std::string>()).second) twice.insert(name);
    }
    std::map<std::string, int> fates;
    std::istringstream deleted(test::Shell("fls -r -p -d -F " + Quote(image)));
    for (std::string line; std::getline(deleted, line);) {
        const auto tab = line.find('\t');
        const auto star = line.find("* ");
        if (tab == std::string::npos || star == std::string::npos || line.find(":", star) == std::string::npos) continue;
        const std::string inode = line.substr(star + 2, line.find(':', star) - star - 2);
        const std::string path = line.substr(tab + 1);
        const std::string name = path.substr(path.rfind('/') + 1);
        if (!ours.count(name) || twice.count(name) || inode.find("-128-") == std::string::npos) continue;
        // The unnamed $DATA attribute's clusters, in file order.
        const std::string istat = test::Shell("istat " + Quote(image) + " " + inode.substr(0, inode.find('-')));
        const auto data = istat.find("Type: $DATA (128-");
        if (data == std::string::npos) continue;
        const auto lineEnd = istat.find('\n', data);
        const bool resident = istat.find("Non-Resident", data) > lineEnd;
        std::istringstream blocks(istat.substr(istat.find('\n', data)));
        std::vector<std::uint64_t> clusters;
        // istat writes a sparse cluster of a compressed file as 0, the boot sector's: no file data lies there.
        for (std::string word; blocks >> word && std::isdigit(word[0]);)
            if (word != "0") clusters.push_back(std::stoull(word));
        std::size_t inUse = 0;
        for (std::uint64_t c : clusters) inUse += allocated.count(c);
        const std::string truth = resident || inUse == 0 || clusters.empty()                             ? "recoverable"
                                  : allocated.count(clusters.front()) || inUse == clusters.size() ? "overwritten"
                                                                                                   : "partial";
        EXPECT_EQ(ours[name], truth) << path << ": " << inUse << " of " << clusters.size() << " clusters in use";
        ++fates[truth];
    }
    EXPECT_GT(fates["recoverable"], 5);
    EXPECT_GT(fates["overwritten"], 0);
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
