// salvora-cli find-tables and the advanced mode of list and recover, run as a separate process, on the FAT16
// fixture with its boot sector zeroed. Needs the built salvora-cli and tests/fixtures/fat16.img.zst.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli_run.h"
#include "fixture_util.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::CliRun;

class CliAdvanced : public ::testing::Test {
  protected:
    void SetUp() override {
        image_ = fs::temp_directory_path() / ("salvora-cli-adv-" + std::to_string(::getpid()) + ".img");
        fs::copy_file(test::Fixture("fat16.img"), image_, fs::copy_options::overwrite_existing);
        std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
        const std::string zeros(512, '\0');
        f.write(zeros.data(), 512);
    }
    void TearDown() override { fs::remove(image_); }
    // The boot sector is gone, so the volume is given by hand, as on the volume list page's custom settings.
    std::string Volume() const {
        return "'" + image_.string() + "' --start-sector 0 --size-mib 32 --fs FAT16";
    }
    fs::path image_;
};

TEST_F(CliAdvanced, FindTablesPrintsTheCombosWithOffsetsAndTheMessage) {
    const CliRun run = Cli("find-tables " + Volume() + " --max 0");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(
        run.out,
        "TFS :\nFAT_ENTRY:0\t512\nFAT_ENTRY:1\t131584\nSector Per Cluster :\n1\n4\n8\n16\n2\n32\n64\n128\n"
        "Number of FAT-ENTRY found = 2 . Please select the choice from combo box and click Next button to "
        "proceed.\n");
    EXPECT_EQ(Cli("find-tables " + Volume() + " --max 1").out.find("FAT_ENTRY:1"), std::string::npos);
}

TEST_F(CliAdvanced, AdvancedListAndRecoverRebuildTheTree) {
    const CliRun list = Cli("list " + Volume() + " --mode advanced --candidate 1 --sectors-per-cluster 1");
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("/Documents/Work/Projects/2023/Reports/summary.txt\tfile"), std::string::npos);
    EXPECT_NE(list.out.find("/ORPHAN ENTRY\tdir"), std::string::npos);
}

TEST_F(CliAdvanced, RefusesWhatTheLabelOrTheSearchDoesNotOffer) {
    const CliRun deep = Cli("list " + Volume() + " --mode deep");
    EXPECT_EQ(deep.exitCode, 2);
    EXPECT_NE(deep.err.find(
                  "Deep recovery mode is not offered for a \"fat16\" volume (offered: Standard, Advanced)"),
              std::string::npos)
        << deep.err;
    EXPECT_EQ(Cli("list " + Volume() + " --mode advanced --candidate 2").exitCode, 2);
    const CliRun spc = Cli("list " + Volume() + " --mode advanced --sectors-per-cluster 3");
    EXPECT_EQ(spc.exitCode, 2);
    EXPECT_NE(spc.err.find("offered: 1, 4, 8, 16, 2, 32, 64, 128"), std::string::npos) << spc.err;
    EXPECT_EQ(Cli("list " + Volume() + " --formatted").exitCode, 2);
    EXPECT_EQ(Cli("find-tables '" + image_.string() + "' --start-sector 0 --size-mib 32 --fs EXTX").exitCode,
              1);
}

}  // namespace
}  // namespace salvora
