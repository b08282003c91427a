// recover with a selection writes exactly the files the selection describes, each at its own path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "cli/cli_run.h"
#include "fixture_util.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::Quote;

TEST(RecoverSelection, WritesExactlyTheSelectedFilesAtTheirPaths) {
    const fs::path img = test::Fixture("fat32.img");
    const auto manifest = test::ReadManifest("fat32.img");
    // The same rule told plainly: live .txt files (any case) of at most 2 KiB, outside /Documents.
    std::set<std::string> expected;
    for (const auto& f : manifest["files"]) {
        std::string path = f["path"].get<std::string>();
        std::string lower = path;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (!f["deleted"].get<bool>() && lower.size() > 4 && lower.substr(lower.size() - 4) == ".txt" &&
            lower.rfind("/documents/", 0) != 0 && f["size"].get<std::uint64_t>() <= 2048 &&
            path.find("$RECYCLE.BIN") == std::string::npos)
            expected.insert(path.substr(1));
    }
    ASSERT_GT(expected.size(), 3u);
    const fs::path out = fs::temp_directory_path() / ("salvora-select-" + std::to_string(::getpid()));
    fs::remove_all(out);
    const test::CliRun run =
        Cli("--yes recover " + Quote(img.string()) + " --select '**/*.TXT' --exclude 'documents/**' --exclude '?RECYCLE.BIN/**' --live --max-size 2K --out " +
            Quote(out.string()));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find(std::to_string(expected.size()) + " file(s) match the selection"), std::string::npos) << run.err;
    std::set<std::string> written;
    for (const auto& e : fs::recursive_directory_iterator(out))
        if (e.is_regular_file()) written.insert(fs::relative(e.path(), out).string());
    EXPECT_EQ(written, expected);
    fs::remove_all(out);

    // Nothing matches: said, and nothing written.
    const test::CliRun none = Cli("--yes recover " + Quote(img.string()) + " --ext nothing --out " + Quote(out.string()));
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("no file matches the selection"), std::string::npos) << none.err;
    EXPECT_TRUE(fs::is_empty(out));
    fs::remove_all(out);
}

}  // namespace
}  // namespace salvora
