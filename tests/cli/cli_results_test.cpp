// salvora-cli list, search and recover on the FAT16 fixture, run as a separate process: output forms,
// pre-order listing, the save's placement and exit statuses. Needs the built salvora-cli and
// tests/fixtures/fat16.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "cli/cli_run.h"
#include "fixture_util.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::CliRun;
using test::JsonLines;

class CliResults : public ::testing::Test {
  protected:
    void SetUp() override {
        image_ = test::Fixture("fat16.img").string();
        out_ = fs::temp_directory_path() / ("salvora-cli-out-" + std::to_string(::getpid()));
        fs::remove_all(out_);
    }
    void TearDown() override { fs::remove_all(out_); }
    std::string image_;
    fs::path out_;
};

TEST_F(CliResults, ListJsonIsPreOrderWithEveryField) {
    const CliRun run = Cli("list '" + image_ + "' --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto rows = JsonLines(run.out);
    ASSERT_GT(rows.size(), 350u);
    std::set<std::string> seenFolders;
    std::map<std::string, nlohmann::json> byPath;
    for (const auto& row : rows) {
        const std::string path = row["path"];
        ASSERT_EQ(path[0], '/');
        ASSERT_NE(path, "/");
        const std::string parent = path.substr(0, path.rfind('/'));
        EXPECT_TRUE(parent.empty() || seenFolders.count(parent)) << path << " comes before its folder";
        if (row["kind"] == "dir") seenFolders.insert(path);
        for (const char* key : {"kind", "deleted", "size", "created", "accessed", "modified", "attributes"})
            EXPECT_TRUE(row.contains(key)) << key;
        byPath[path] = row;
    }
    EXPECT_EQ(rows[0]["path"], "/Documents");
    const auto& photo = byPath.at("/Photos/IMG_0001.JPG");
    EXPECT_EQ(photo["kind"], "file");
    EXPECT_EQ(photo["size"], 7212);
    EXPECT_EQ(photo["deleted"], false);
    EXPECT_EQ(photo["attributes"], "-A");
    EXPECT_EQ(byPath.at("/Photos/\xEF\xBF\xA5MG_0003.JPG")["deleted"], true);
    EXPECT_EQ(byPath.at("/Photos/\xEF\xBF\xA5MG_0003.JPG")["verdict"], "recoverable");
    EXPECT_EQ(byPath.at("/Attrib/HiddenDir")["kind"], "dir");
    EXPECT_TRUE(byPath.count("/Attrib/HiddenDir/inside.txt"));

    const CliRun text = Cli("list '" + image_ + "'");
    EXPECT_NE(text.out.find("\n/Sizes/one.bin\tfile\t-\tintact\t1 Bytes\t"), std::string::npos);
    EXPECT_NE(text.out.find("\n/Photos/\xEF\xBF\xA5MG_0003.JPG\tfile\tdeleted\trecoverable\t6.84 KB\t"),
              std::string::npos);
}

TEST_F(CliResults, SearchFindsByPatternAndRefusesBadOnes) {
    CliRun run = Cli("search '" + image_ + "' 'JPG|png' --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::set<std::string> paths;
    for (const auto& row : JsonLines(run.out)) paths.insert(row["path"].get<std::string>());
    EXPECT_TRUE(paths.count("/Photos/IMG_0001.JPG"));
    EXPECT_TRUE(paths.count("/Photos/Vacation/chart.png"));
    EXPECT_FALSE(paths.count("/Documents/NOTES.TXT"));

    run = Cli("search '" + image_ + "' 'notes'");
    // The same path and columns as list prints.
    EXPECT_EQ(run.out.substr(0, run.out.find('\t')), "/Documents/NOTES.TXT");
    EXPECT_EQ(run.out.substr(run.out.find('\t'), 8), "\tfile\t-\t");
    EXPECT_NE(run.err.find("Searching Finished"), std::string::npos);

    run = Cli("search '" + image_ + "' '*.jpg'");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.out.empty());
    EXPECT_NE(run.err.find("such characters are not allowed for search.Try again with different pattern."),
              std::string::npos);
}

TEST_F(CliResults, RecoverWritesTheFolderContentsAndReportsFailures) {
    CliRun run = Cli("recover '" + image_ + "' --out '" + out_.string() + "' --path /Photos --yes");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(fs::file_size(out_ / "IMG_0001.JPG"), 7212u);  // the folder's contents, not the folder itself
    EXPECT_EQ(fs::file_size(out_ / "Vacation/chart.png"), 907u);
    EXPECT_NE(
        run.err.find("number of files found inside this folder = 7 .do u want to continue dumping these "
                     "files..?"),
        std::string::npos);
    EXPECT_NE(run.err.find("7 file(s) saved in " + out_.string() + "\n"), std::string::npos) << run.err;

    // Again into the same folder: nothing is overwritten.
    run = Cli("recover '" + image_ + "' --out '" + out_.string() + "' --path /Photos --yes");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(fs::exists(out_ / "IMG_0001 (1).JPG"));

    // Without --yes and without a terminal the answer is No.
    fs::remove_all(out_);
    run = Cli("recover '" + image_ + "' --out '" + out_.string() + "'");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(fs::is_empty(out_));

    run = Cli("recover '" + image_ + "' --out '" + out_.string() + "' --path /Nowhere --yes");
    EXPECT_EQ(run.exitCode, 2);

    // Files over 4 KiB cannot be written under this limit: exit 3, the small ones are there.
    run = Cli("recover '" + image_ + "' --out '" + out_.string() + "' --path /Sizes --yes",
              "trap '' XFSZ; ulimit -f 4; ");
    EXPECT_EQ(run.exitCode, 3) << run.err;
    EXPECT_EQ(fs::file_size(out_ / "s512.bin"), 512u);
    EXPECT_NE(run.err.find("could not be written"), std::string::npos);
    // No cut file is left under its real name, and each one is named.
    int named = 0;
    for (const auto& e : fs::directory_iterator(out_)) {
        EXPECT_LE(fs::file_size(e.path()), 4096u) << e.path();
    }
    for (std::size_t at = 0; (at = run.err.find("not written whole: ", at)) != std::string::npos; ++at) ++named;
    EXPECT_GT(named, 0) << run.err;
    EXPECT_NE(run.err.find(std::to_string(named) + " could not be written"), std::string::npos) << run.err;

    // An output folder that cannot be written (for root too: /proc takes no new files) is refused before the
    // scan, with the reason.
    run = Cli("recover '" + image_ + "' --out /proc --yes");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("The folder /proc cannot be written"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace salvora
