// `mount` over FUSE: the fat32, exfat and ext4 fixtures copied whole out of the mount with cp -a, against their
// manifests and against `recover` of the same image (names, bytes, modification times); deleted files present,
// verdicts readable as attributes, writes refused; unmounting ends the process with 0. Skips where FUSE cannot
// be used.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cli/cli_run.h"
#include "fixture_util.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Quote;

bool Mounted(const fs::path& dir) {
    struct stat at {}, above {};
    return ::stat(dir.c_str(), &at) == 0 && ::stat(dir.parent_path().c_str(), &above) == 0 &&
           at.st_dev != above.st_dev;
}

std::string WhyNoFuse() {
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) return "/dev/fuse cannot be opened here";
    ::close(fd);
    if (::geteuid() != 0 && std::system("command -v fusermount3 >/dev/null 2>&1") != 0)
        return "fusermount3 is missing (package fuse3)";
    return {};
}

class CliMount : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("salvora-mount-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "mnt");
    }
    void TearDown() override {
        if (Mounted(dir_ / "mnt")) std::system(("fusermount3 -u -z " + Quote((dir_ / "mnt").string())).c_str());
        if (child_ > 0) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, nullptr, 0);
        }
        fs::remove_all(dir_);
    }

    // `mount IMAGE MNT --foreground` as a child; true once the mount is there.
    bool StartMount(const fs::path& image, const std::string& map = {}) {
        child_ = ::fork();
        if (child_ == 0) {
            const std::string err = (dir_ / "mount.err").string();
            const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 2);
            if (map.empty())
                ::execl(SALVORA_CLI_PATH, SALVORA_CLI_PATH, "mount", image.c_str(), (dir_ / "mnt").c_str(),
                        "--foreground", static_cast<char*>(nullptr));
            else
                ::execl(SALVORA_CLI_PATH, SALVORA_CLI_PATH, "--map", map.c_str(), "mount", image.c_str(),
                        (dir_ / "mnt").c_str(), "--foreground", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 600; ++i) {
            if (Mounted(dir_ / "mnt")) return true;
            if (::waitpid(child_, nullptr, WNOHANG) == child_) {
                child_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // Unmounts and returns the mount process's exit status (-1: it did not end by itself).
    int Unmount() {
        const std::string command = ::geteuid() == 0 ? "umount " : "fusermount3 -u ";
        EXPECT_EQ(std::system((command + Quote((dir_ / "mnt").string())).c_str()), 0);
        for (int i = 0; i < 300; ++i) {
            int status = 0;
            if (::waitpid(child_, &status, WNOHANG) == child_) {
                child_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return -1;
    }

    fs::path dir_;
    pid_t child_ = -1;
};

class CliMountFixture : public CliMount, public ::testing::WithParamInterface<const char*> {};

TEST_P(CliMountFixture, CopiedWholeItHoldsWhatRecoverSavesAndTheManifest) {
    if (const std::string why = WhyNoFuse(); !why.empty()) GTEST_SKIP() << why;
    const std::string name = GetParam();
    const fs::path image = test::Fixture(name + ".img");
    const fs::path mnt = dir_ / "mnt";
    const std::time_t started = std::time(nullptr);
    ASSERT_TRUE(StartMount(image)) << test::ReadAll(dir_ / "mount.err");

    // Deleted files are there, each with its verdict and mark.
    const auto deleted = test::JsonLines(test::Cli("list " + Quote(image.string()) + " --deleted --json").out);
    ASSERT_FALSE(deleted.empty());
    for (const auto& row : deleted) {
        const fs::path path = mnt.string() + row["path"].get<std::string>();
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)) || fs::is_symlink(fs::symlink_status(path)))
            << path;
        char value[64] = {};
        const ssize_t n = ::lgetxattr(path.c_str(), "user.salvora.verdict", value, sizeof value - 1);
        ASSERT_GT(n, 0) << path;
        EXPECT_EQ(std::string(value, static_cast<std::size_t>(n)), row["verdict"].get<std::string>()) << path;
        EXPECT_EQ(::lgetxattr(path.c_str(), "user.salvora.deleted", value, sizeof value), 1);
        EXPECT_EQ(value[0], '1');
    }

    // Nothing changes through it.
    errno = 0;
    EXPECT_LT(::open((mnt / "new.txt").c_str(), O_WRONLY | O_CREAT, 0644), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_NE(::mkdir((mnt / "new").c_str(), 0755), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_NE(::setxattr(mnt.c_str(), "user.x", "1", 1, 0), 0);
    EXPECT_EQ(errno, EROFS);

    // cp -a of everything (deleted files with unreadable pieces fail alone), against the manifest ...
    const fs::path copy = dir_ / "copy";
    std::system(("cp -a " + Quote(mnt.string()) + " " + Quote(copy.string()) + " 2>/dev/null").c_str());
    const nlohmann::json manifest = test::ReadManifest(name);
    const std::map<std::string, std::string> copied = test::Sha256Tree(copy);
    int live = 0;
    for (const auto& file : manifest["files"]) {
        const std::string path = file["path"];
        if (file["deleted"].get<bool>() || path.starts_with("/$RECYCLE.BIN/")) continue;  // renamed by the scan
        ++live;
        const auto found = copied.find(path.substr(1));
        ASSERT_NE(found, copied.end()) << path;
        EXPECT_EQ(found->second, file["sha256"].get<std::string>()) << path;
    }
    EXPECT_GT(live, 20);

    // ... and against recover: the same names, bytes and modification times.
    const fs::path saved = dir_ / "saved";
    const test::CliRun recover =
        test::Cli("recover " + Quote(image.string()) + " --out " + Quote(saved.string()) + " -y");
    ASSERT_TRUE(recover.exitCode == 0 || recover.exitCode == 3) << recover.err;
    const std::map<std::string, std::string> recovered = test::Sha256Tree(saved);
    int compared = 0;
    for (const auto& [path, sha] : recovered) {
        // A link the save wrote as a text file holding its target is a link in the mount.
        if (path.ends_with(".incomplete") || fs::is_symlink(copy / path)) continue;
        const auto found = copied.find(path);
        ASSERT_NE(found, copied.end()) << path;
        EXPECT_EQ(found->second, sha) << path;
        struct stat a {}, b {};
        ASSERT_EQ(::lstat((saved / path).c_str(), &a), 0);
        ASSERT_EQ(::lstat((copy / path).c_str(), &b), 0);
        // Without a stored time the save leaves the time it was written, and the mount shows when it began.
        if (a.st_mtim.tv_sec < started)
            EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec) << path;
        else
            EXPECT_GE(b.st_mtim.tv_sec, started) << path;
        ++compared;
    }
    EXPECT_GE(compared, live);

    EXPECT_EQ(Unmount(), 0) << test::ReadAll(dir_ / "mount.err");
    EXPECT_FALSE(Mounted(mnt));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CliMountFixture, ::testing::Values("fat32", "exfat", "ext4"));

// Small files of a listed folder are read ahead into the kernel's cache; one with an unreadable sector must not
// be, or a reader would get zeros where the mount owes it EIO.
TEST_F(CliMount, AFileWithAnUnreadableSectorFailsWithEioAfterItsFolderIsListed) {
    if (const std::string why = WhyNoFuse(); !why.empty()) GTEST_SKIP() << why;
    const fs::path image = test::Fixture("fat32.img");
    const fs::path mnt = dir_ / "mnt";
    ASSERT_TRUE(StartMount(image)) << test::ReadAll(dir_ / "mount.err");
    char runs[256] = {};
    ASSERT_GT(::getxattr((mnt / "Photos/IMG_0002.JPG").c_str(), "user.salvora.runs", runs, sizeof runs - 1), 0);
    EXPECT_EQ(Unmount(), 0);
    unsigned long long from = 0, length = 0, at = 0;
    ASSERT_EQ(std::sscanf(runs, "%llu+%llu at %llu", &from, &length, &at), 3) << runs;
    const std::uint64_t size = fs::file_size(image);
    const fs::path map = dir_ / "card.map";
    std::ofstream(map) << "# Mapfile\n0x0 + 1\n"
                       << std::hex << "0x0 0x" << at << " +\n0x" << at << " 0x200 -\n0x" << at + 512 << " 0x"
                       << size - at - 512 << " +\n";

    ASSERT_TRUE(StartMount(image, map.string())) << test::ReadAll(dir_ / "mount.err");
    std::size_t listed = 0;
    for (const auto& entry : fs::directory_iterator(mnt / "Photos")) listed += entry.is_regular_file();
    EXPECT_GT(listed, 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // time enough to read the folder ahead
    const int fd = ::open((mnt / "Photos/IMG_0002.JPG").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[16384];
    errno = 0;
    EXPECT_EQ(::read(fd, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EIO);
    ::close(fd);
    const nlohmann::json manifest = test::ReadManifest("fat32");
    for (const auto& file : manifest["files"])
        if (file["path"] == "/Photos/IMG_0001.JPG")
            EXPECT_EQ(test::Sha256Of(mnt / "Photos/IMG_0001.JPG"), file["sha256"].get<std::string>());
    EXPECT_EQ(Unmount(), 0);
}

TEST_F(CliMount, InTheBackgroundItReturnsOnceMountedAndRefusesAFolderInUse) {
    const fs::path image = test::Fixture("ext4.img");
    const fs::path mnt = dir_ / "mnt";
    // A folder that is not empty is refused before any scan, whether FUSE is there or not.
    fs::create_directories(dir_ / "full");
    test::WriteBytes(dir_ / "full" / "x", std::vector<std::uint8_t>{1});
    const test::CliRun full = test::Cli("mount " + Quote(image.string()) + " " + Quote((dir_ / "full").string()));
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_NE(full.err.find("is not empty"), std::string::npos) << full.err;
    const test::CliRun missing = test::Cli("mount " + Quote(image.string()) + " " + Quote((dir_ / "no").string()));
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("does not exist"), std::string::npos) << missing.err;

    if (const std::string why = WhyNoFuse(); !why.empty()) GTEST_SKIP() << why;
    const test::CliRun run = test::Cli("mount " + Quote(image.string()) + " " + Quote(mnt.string()));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_TRUE(Mounted(mnt));
    EXPECT_EQ(test::ReadAll(mnt / "links" / "fast_link"), test::ReadAll(mnt / "docs" / "readme.txt"));
    EXPECT_EQ(fs::read_symlink(mnt / "links" / "fast_link"), "../docs/readme.txt");
    ASSERT_EQ(std::system(("fusermount3 -u " + Quote(mnt.string())).c_str()), 0);
    EXPECT_FALSE(Mounted(mnt));
}

}  // namespace
}  // namespace salvora
