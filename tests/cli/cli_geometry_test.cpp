// FAT volumes made by mkfs.fat and mtools with clusters of 512 B to 64 KiB, then stripped of their boot sectors:
// the advanced mode finds the geometry in the folders' own entries, says it, and with no option given rebuilds
// the tree with it; the geometry is the one fsstat reads from the intact volume.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <map>
#include <set>
#include <sstream>

#include "cli/cli_run.h"
#include "cli/tsk_compare.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::Quote;

struct Layout {
    const char* fatType;
    int sectorsPerCluster;
    int mib;  // enough clusters for the FAT type
};

class Geometry : public ::testing::TestWithParam<Layout> {
  protected:
    void SetUp() override {
        for (const char* tool : {"mkfs.fat", "mcopy", "mmd", "fsstat"})
            if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is missing (packages dosfstools, mtools, sleuthkit)";
        dir_ = fs::temp_directory_path() / ("salvora-geometry-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    void Run(const std::string& command) {
        ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
    }
    // fsstat's cluster size and the sector where cluster 2 lies.
    std::pair<std::uint64_t, std::uint64_t> TrueGeometry(const fs::path& img) {
        const std::string stat = test::Shell("fsstat " + Quote(img.string()));
        std::smatch m;
        EXPECT_TRUE(std::regex_search(stat, m, std::regex("Cluster Size: (\\d+)")));
        const std::uint64_t cluster = std::stoull(m[1]);
        EXPECT_TRUE(std::regex_search(stat, m, std::regex("\\* Data Area: (\\d+)")));
        std::uint64_t data = std::stoull(m[1]);
        if (stat.find("File System Type: FAT16") != std::string::npos &&
            std::regex_search(stat, m, std::regex("\\*\\* Root Directory: (\\d+) - (\\d+)")))
            data = std::stoull(m[2]) + 1;  // the root area comes before cluster 2
        return {cluster, data};
    }
    fs::path dir_;
};

TEST_P(Geometry, FoundInTheFoldersAndUsedWithoutBeingAsked) {
    const Layout layout = GetParam();
    const fs::path img = dir_ / "card.img";
    const std::string i = " -i " + Quote(img.string()) + " ";
    Run("truncate -s " + std::to_string(layout.mib) + "M " + Quote(img.string()) + " && mkfs.fat -F " + layout.fatType + " -s " +
        std::to_string(layout.sectorsPerCluster) + " " + Quote(img.string()));
    std::vector<std::string> files;
    for (int d = 0; d < 12; ++d) {
        const std::string folder = "/F" + std::to_string(d);
        Run("mmd" + i + "::" + folder + " ::" + folder + "/SUB");
        for (int f = 0; f < 4; ++f) {
            const std::string name = folder + (f % 2 ? "/SUB" : "") + "/FILE" + std::to_string(f) + ".BIN";
            { std::ofstream(dir_ / "x.bin", std::ios::binary) << std::string(3000 + 997 * f * d, char('a' + d)); }
            Run("mcopy" + i + Quote((dir_ / "x.bin").string()) + " ::" + name);
            files.push_back(name);
        }
    }
    const auto [clusterBytes, dataSector] = TrueGeometry(img);
    ASSERT_EQ(clusterBytes, 512u * layout.sectorsPerCluster);

    // A stale copy of a folder's first sector in the free space past the files: a few votes against the rest.
    std::string bytes = test::ReadAll(img);
    const std::size_t folder = bytes.find(std::string(".          \x10", 12), dataSector * 512);
    ASSERT_NE(folder, std::string::npos);
    bytes.replace(80 << 20, 512, bytes.substr(folder, 512));
    // Boot sector and its backup gone.
    bytes.replace(0, 512, std::string(512, '\0'));
    bytes.replace(6 * 512, 512, std::string(512, '\0'));
    { std::ofstream(img, std::ios::binary | std::ios::trunc) << bytes; }

    const std::string volume = Quote(img.string()) + " --start-sector 0 --size-mib " + std::to_string(layout.mib) +
                               " --fs FAT" +
                               (std::string(layout.fatType) == "16" ? "16" : "32") + " --mode advanced";
    const test::CliRun list = Cli("list " + volume);
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.err.find("cluster " + std::to_string(clusterBytes) + " bytes, data at sector " +
                            std::to_string(dataSector)),
              std::string::npos)
        << list.err;
    std::size_t atOwnPath = 0;
    for (const std::string& f : files) atOwnPath += list.out.find(f + "\tfile") != std::string::npos;
    EXPECT_GE(atOwnPath * 10, files.size() * 9) << list.out;
    // Explicit options still win.
    const test::CliRun forced =
        Cli("list " + volume + " --sectors-per-cluster " + (layout.sectorsPerCluster == 1 ? "2" : "1"));
    EXPECT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_NE(forced.out, list.out);
}

INSTANTIATE_TEST_SUITE_P(Clusters, Geometry,
                         ::testing::Values(Layout{"32", 1, 96}, Layout{"32", 8, 300}, Layout{"16", 4, 96},
                                           Layout{"16", 64, 256}),
                         [](const auto& info) {
                             return "FAT" + std::string(info.param.fatType) + "_" +
                                    std::to_string(info.param.sectorsPerCluster * 512);
                         });

// One folder alone tells nothing: the lists stay as they are, nothing is claimed.
TEST(GeometryAlone, ASingleFolderClaimsNoGeometry) {
    if (!test::HaveTool("mkfs.fat") || !test::HaveTool("mmd")) GTEST_SKIP() << "dosfstools or mtools is missing";
    const fs::path img = fs::temp_directory_path() / ("salvora-geometry-one-" + std::to_string(::getpid()) + ".img");
    ASSERT_EQ(std::system(("truncate -s 40M " + Quote(img.string()) + " && mkfs.fat -F 32 " + Quote(img.string()) +
                           " >/dev/null && mmd -i " + Quote(img.string()) + " ::/ONLY")
                              .c_str()),
              0);
    {
        std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
        const std::string zeros(512, '\0');
        f.write(zeros.data(), 512);
        f.seekp(6 * 512);
        f.write(zeros.data(), 512);
    }
    const test::CliRun run = Cli("find-tables " + Quote(img.string()) + " --start-sector 0 --size-mib 40 --fs FAT32");
    EXPECT_EQ(run.err.find("geometry from"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("Sector Per Cluster :\n2\n4\n16\n32\n64\n8\n1\n"), std::string::npos) << run.out;
    fs::remove(img);
}

}  // namespace
}  // namespace salvora

namespace salvora {
namespace {

// mkfs.fat run again over a card full of files, as a camera's "format" does: the advanced mode sees it by itself
// and reads the card as formatted; every file's bytes come back (their top folders' names went with the root).
TEST(QuickFormat, SeenWithoutBeingToldAndEveryFileComesBack) {
    for (const char* tool : {"mkfs.fat", "mcopy", "mmd"})
        if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is missing (packages dosfstools, mtools)";
    const fs::path dir = fs::temp_directory_path() / ("salvora-quick-format-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string img = Quote((dir / "card.img").string());
    const auto run = [](const std::string& command) {
        ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
    };
    run("truncate -s 64M " + img + " && mkfs.fat -F 32 -s 1 " + img);
    std::set<std::string> contents;
    for (int d = 0; d < 4; ++d) {
        run("mmd -i " + img + " ::/D" + std::to_string(d) + " ::/D" + std::to_string(d) + "/SUB");
        for (int f = 0; f < 3; ++f) {
            std::string bytes(2000 + 1531 * f + 17 * d, '\0');
            for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 31 + d * 7 + f) % 251);
            contents.insert(bytes);
            { std::ofstream(dir / "x.bin", std::ios::binary) << bytes; }
            run("mcopy -i " + img + " " + Quote((dir / "x.bin").string()) + " '::/D" + std::to_string(d) +
                (f % 2 ? "/SUB" : "") + "/A long name " + std::to_string(f) + ".dat'");
        }
    }
    run("mkfs.fat -F 32 -s 1 " + img);

    const test::CliRun seen = Cli("--yes recover " + img + " --mode advanced --out " + Quote((dir / "a").string()));
    EXPECT_EQ(seen.exitCode, 0) << seen.err;
    EXPECT_NE(seen.err.find("The volume looks quick-formatted"), std::string::npos) << seen.err;
    const test::CliRun asIs =
        Cli("--yes recover " + img + " --mode advanced --not-formatted --out " + Quote((dir / "b").string()));
    const auto found = [&](const fs::path& out) {
        std::size_t n = 0;
        std::set<std::string> saved;
        for (const auto& e : fs::recursive_directory_iterator(out))
            if (e.is_regular_file()) saved.insert(test::ReadAll(e.path()));
        for (const std::string& c : contents) n += saved.count(c);
        return n;
    };
    EXPECT_EQ(found(dir / "a"), contents.size());
    EXPECT_LT(found(dir / "b"), contents.size());
    fs::remove_all(dir);
}

}  // namespace
}  // namespace salvora

#include "fixture_util.h"

namespace salvora {
namespace {

// Volumes made by mkfs.fat/mtools and mkfs.exfat/the FUSE driver, then damaged (see the manifests' "damage"): with
// no geometry given, the advanced mode finds the one fsstat read from the intact volume, and at least 90 % of the
// live files come back listed, at their own path (below the lost entries where their top folder's name is gone)
// and byte for byte.
struct Damaged {
    const char* name;
    const char* fileSystem;
};

class DamagedFixture : public ::testing::TestWithParam<Damaged> {};

// The path with the lost-entries folder and unnamed folders taken off: what is left must end the true path.
std::vector<std::string> KnownPart(const std::string& path) {
    std::vector<std::string> parts;
    std::stringstream in(path);
    for (std::string part; std::getline(in, part, '/');)
        if (!part.empty()) parts.push_back(part);
    std::size_t skip = 0;
    while (skip < parts.size() && (parts[skip] == "ORPHAN ENTRY" || parts[skip].rfind("Folder at cluster ", 0) == 0))
        ++skip;
    return {parts.begin() + static_cast<std::ptrdiff_t>(skip), parts.end()};
}

TEST_P(DamagedFixture, GeometryFoundAndNineInTenFilesWholeAtTheirPlace) {
    const Damaged d = GetParam();
    const fs::path img = test::Fixture(std::string(d.name) + ".img");
    const auto manifest = test::ReadManifest(std::string(d.name) + ".img");
    const std::string stat = manifest["fsstat_head"].get<std::string>();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(stat, m, std::regex("Cluster Size: (\\d+)")));
    const std::string clusterBytes = m[1];
    ASSERT_TRUE(std::regex_search(stat, m, std::regex("(?:\\* Data Area|\\*\\* Cluster Heap): (\\d+)")));
    std::uint64_t dataSector = std::stoull(m[1]);
    if (std::regex_search(stat, m, std::regex("\\*\\* Root Directory: (\\d+) - (\\d+)")) &&
        std::string(d.fileSystem) == "FAT16")
        dataSector = std::stoull(m[2]) + 1;

    if (std::string(d.name).find("noboot") != std::string::npos) {
        // The standard run needs the boot sector: it fails, and says where to go.
        const test::CliRun standard = Cli("list " + Quote(img.string()) + " --start-sector 0 --fs " + d.fileSystem);
        EXPECT_EQ(standard.exitCode, 1);
        EXPECT_NE(standard.err.find("try: --mode advanced"), std::string::npos) << standard.err;
    }
    const fs::path out = fs::temp_directory_path() / ("salvora-damaged-" + std::to_string(::getpid()) + d.name);
    fs::remove_all(out);
    // What the "no volume found" hint says to type: the volume runs to the end of the image.
    const test::CliRun run = Cli("--yes recover " + Quote(img.string()) + " --start-sector 0 --fs " + d.fileSystem +
                                 " --mode advanced --out " + Quote(out.string()));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("cluster " + clusterBytes + " bytes, data at sector " + std::to_string(dataSector)),
              std::string::npos)
        << run.err;

    std::map<std::string, std::vector<fs::path>> byName;
    for (const auto& e : fs::recursive_directory_iterator(out))
        if (e.is_regular_file()) byName[e.path().filename().string()].push_back(e.path());
    std::size_t files = 0, listed = 0, atOwnPath = 0, whole = 0;
    for (const auto& f : manifest["files"]) {
        if (f.value("deleted", false) || f["size"].get<std::uint64_t>() == 0) continue;
        const std::string path = f["path"];
        ++files;
        const auto found = byName.find(path.substr(path.rfind('/') + 1));
        if (found == byName.end()) continue;
        ++listed;
        const std::vector<std::string> truth = KnownPart(path);
        bool own = false, same = false;
        for (const fs::path& p : found->second) {
            const std::vector<std::string> known = KnownPart(p.string().substr(out.string().size()));
            const bool here = !known.empty() && known.size() <= truth.size() &&
                              std::equal(known.rbegin(), known.rend(), truth.rbegin());
            own = own || here;
            same = same || (here && test::Sha256Of(p) == f["sha256"].get<std::string>());
        }
        atOwnPath += own;
        whole += same;
    }
    EXPECT_GE(listed * 10, files * 9) << listed << " of " << files;
    // A quick format leaves every folder cluster: every name comes back whole, long ones with their extension.
    if (std::string(d.name) == "fat32-quickformat") {
        EXPECT_EQ(listed, files);
    }
    EXPECT_GE(atOwnPath * 10, files * 9) << atOwnPath << " of " << files;
    EXPECT_GE(whole * 10, files * 9) << whole << " of " << files;
    fs::remove_all(out);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DamagedFixture,
                         ::testing::Values(Damaged{"exfat-4k-noboot", "FAT64"}, Damaged{"exfat-32k-noboot", "FAT64"},
                                           Damaged{"exfat-1m-noboot", "FAT64"},
                                           Damaged{"fat16-noboot", "FAT16"}, Damaged{"fat32-noboot", "FAT32"},
                                           Damaged{"fat32-quickformat", "FAT32"}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

}  // namespace
}  // namespace salvora

namespace salvora {
namespace {

// Ctrl-C during the search of a damaged volume: half a search is not rebuilt into a tree, and the run says so.
TEST(DamagedVolumeSearch, StopIsSaidAndNothingIsScanned) {
    const fs::path img = fs::temp_directory_path() / ("salvora-stop-search-" + std::to_string(::getpid()) + ".img");
    { std::ofstream(img, std::ios::binary); }
    fs::resize_file(img, 16ull << 30);  // sparse: the search reads zeros for seconds
    const test::CliRun run = Cli("--yes list " + Quote(img.string()) + " --start-sector 0 --fs FAT32 --mode advanced",
                                 "(sleep 0.3; kill -INT \\$\\$) & ");  // the shell's pid is the CLI's after exec
    EXPECT_EQ(run.exitCode, 3) << run.err;
    EXPECT_NE(run.err.find("stopped during the search of the volume: nothing was scanned"), std::string::npos)
        << run.err;
    fs::remove(img);
}

}  // namespace
}  // namespace salvora
