// A card with a bad sector, as the kernel presents one: the FAT32 fixture served over FUSE by a file system that
// fails every read touching one sector of a file with EIO. recover names that file damaged and brings every
// other one back whole; image copies the card with a map that ddrescuelog reads; recover from the image and its
// map names the same file, as on the card.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "cli/cli_run.h"
#include "cli/tsk_compare.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::Quote;

#ifdef SALVORA_FAILING_DISK_FS
class FailingCard : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse cannot be used here";
        if (!test::HaveTool("fusermount3")) GTEST_SKIP() << "fusermount3 is missing (package fuse3)";
        dir_ = fs::temp_directory_path() / ("salvora-failing-card-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "mnt");
    }
    void TearDown() override {
        if (mounted_) std::system(("fusermount3 -u " + Quote((dir_ / "mnt").string()) + " 2>/dev/null").c_str());
        fs::remove_all(dir_);
    }
    // Serves image with reads of [start, start + length) failing; false when this machine will not mount.
    bool Serve(const fs::path& image, std::uint64_t start, std::uint64_t length) {
        const std::string command = std::string(SALVORA_FAILING_DISK_FS) + " " + Quote(image.string()) + " " +
                                    Quote((dir_ / "mnt").string()) + " " + std::to_string(start) + ":" +
                                    std::to_string(length) + " 2>/dev/null";
        if (std::system(command.c_str()) != 0) return false;
        mounted_ = true;
        for (int i = 0; i < 100 && !fs::exists(dir_ / "mnt" / "disk.img"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return fs::exists(dir_ / "mnt" / "disk.img");
    }

    fs::path dir_;
    bool mounted_ = false;
};

TEST_F(FailingCard, RecoverAndImageNameTheFileOverTheBadSectorAndNoOther) {
    const fs::path fixture = test::Fixture("fat32.img");
    const auto manifest = test::ReadManifest("fat32.img");
    // The bad sector: 4 KiB into the content of the 1 MiB file, found where The Sleuth Kit finds its bytes.
    const std::string image = test::ReadAll(fixture);
    std::string victim;
    std::uint64_t at = std::string::npos;
    for (const auto& file : manifest["files"]) {
        if (file["deleted"].get<bool>() || file["path"] != "/Sizes/one_mib.bin") continue;
        victim = file["path"].get<std::string>().substr(1);
        const std::string inode = test::Shell("ifind -n " + Quote(victim) + " " + Quote(fixture.string()));
        const std::string content = test::Shell("icat " + Quote(fixture.string()) + " " + inode);
        at = image.find(content.substr(0, 8192));
    }
    ASSERT_NE(at, std::string::npos);
    const std::uint64_t bad = at + 4096;
    if (!Serve(fixture, bad, 512)) GTEST_SKIP() << "FUSE mounts are not allowed here";
    const std::string card = Quote((dir_ / "mnt" / "disk.img").string());

    const auto checkSaved = [&](const fs::path& out, const test::CliRun& run) {
        EXPECT_EQ(run.exitCode, 3) << run.err;
        EXPECT_NE(run.err.find("damaged: " + victim + " (512 of 1,048,576 bytes unreadable)"), std::string::npos)
            << run.err;
        EXPECT_EQ(run.err.find("damaged: ", run.err.find("damaged: ") + 1), std::string::npos) << run.err;
        for (const auto& file : manifest["files"]) {
            const std::string rel = file["path"].get<std::string>().substr(1);
            // Recycle Bin files are saved under the names they had before they were deleted.
            if (file["deleted"].get<bool>() || rel == victim || rel.find("$R") != std::string::npos) continue;
            EXPECT_EQ(test::Sha256Of(out / rel), file["sha256"]) << rel;
        }
        const std::string saved = test::ReadAll(out / victim);
        ASSERT_EQ(saved.size(), 1048576u);
        EXPECT_EQ(saved.substr(4096, 512), std::string(512, '\0'));
        EXPECT_EQ(saved.substr(0, 4096), image.substr(at, 4096));
        EXPECT_EQ(saved.substr(4608), image.substr(at + 4608, 1048576 - 4608));
    };
    const fs::path out = dir_ / "from-card";
    checkSaved(out, Cli("--yes recover " + card + " --out " + Quote(out.string())));

    const std::string copy = Quote((dir_ / "card.img").string());
    const std::string map = Quote((dir_ / "card.map").string());
    const test::CliRun imaged = Cli("image " + card + " " + copy + " --map " + map);
    EXPECT_EQ(imaged.exitCode, 3) << imaged.err;
    EXPECT_NE(imaged.err.find("512 B could not be read"), std::string::npos) << imaged.err;
    if (test::HaveTool("ddrescuelog")) {
        EXPECT_EQ(test::Shell("ddrescuelog -b 512 -l- " + map), std::to_string(bad / 512) + "\n");
    }
    // The image refuses to overwrite the card, and to start over an image without its map.
    EXPECT_EQ(Cli("image " + copy + " " + copy + " --map " + Quote((dir_ / "other.map").string())).exitCode, 2);

    const fs::path fromImage = dir_ / "from-image";
    checkSaved(fromImage, Cli("--yes recover " + copy + " --map " + map + " --out " + Quote(fromImage.string())));
}
#endif

}  // namespace
}  // namespace salvora
