// salvora-cli `volumes` and the usage rules, run as a separate process on synthetic images made here:
// output texts, JSON keys and exit statuses. Needs the built salvora-cli (SALVORA_CLI_PATH).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "cli/cli_run.h"
#include "fixture_util.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;

class Image {
  public:
    Image(const std::string& name, std::uint64_t bytes)
        : path_(fs::temp_directory_path() / ("salvora-cli-" + name)) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc);
        fs::resize_file(path_, bytes);
    }
    ~Image() { fs::remove(path_); }
    void Write(std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
        std::fstream io(path_, std::ios::binary | std::ios::in | std::ios::out);
        io.seekp(static_cast<std::streamoff>(offset));
        io.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::string Arg() const { return "'" + path_.string() + "'"; }

  private:
    fs::path path_;
};

void Put32(std::vector<std::uint8_t>& b, std::size_t off, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A FAT32 boot sector as Windows formats it ("MSDOS5.0"), so both the bare check and the sector scan know it.
std::vector<std::uint8_t> Fat32BootSector(std::uint32_t totalSectors) {
    std::vector<std::uint8_t> b(512, 0);
    b[0] = 0xEB;
    b[1] = 0x58;
    b[2] = 0x90;
    std::memcpy(&b[3], "MSDOS5.0", 8);
    b[11] = 0x00;  // 512 bytes per sector
    b[12] = 0x02;
    b[13] = 8;
    b[14] = 32;
    b[16] = 2;
    Put32(b, 32, totalSectors);
    Put32(b, 36, 1000);
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

std::vector<std::uint8_t> Mbr(std::vector<std::array<std::uint32_t, 3>> slots) {
    std::vector<std::uint8_t> b(512, 0);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const std::size_t at = 446 + i * 16;
        b[at + 4] = static_cast<std::uint8_t>(slots[i][0]);
        Put32(b, at + 8, slots[i][1]);
        Put32(b, at + 12, slots[i][2]);
    }
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

TEST(CliVolumes, BareFat32ImageIsOneRowFromSectorZero) {
    Image image("bare.img", 3 << 20);
    image.Write(0, Fat32BootSector(6144));
    const test::CliRun text = test::Cli("volumes " + image.Arg());
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out,
              "VOLUME  FILE_SYSTEM  VOLUME_SIZE  START_SECTOR  NAME  PARTITION\n"
              "0       FAT32        3  MB        0             -     -\n");
    const test::CliRun json = test::Cli("volumes --json " + image.Arg());
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_EQ(json.out,
              "{\"index\":0,\"fileSystemLabel\":\"FAT32\",\"sizeText\":\"3  MB\",\"startSector\":0,\"name\":\"\","
              "\"partitionName\":\"\"}\n");
}

TEST(CliVolumes, MbrImageListsPrimariesInRecordOrder) {
    Image image("mbr.img", 64 << 20);
    image.Write(0, Mbr({{0x0C, 2048, 20480}, {0x83, 22528, 40960}}));
    const test::CliRun json = test::Cli("volumes " + image.Arg() + " --json");
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.out,
              "{\"index\":0,\"fileSystemLabel\":\"FAT32\",\"sizeText\":\"10   MB\",\"startSector\":2048,\"name\":\"\","
              "\"partitionName\":\"type 0x0c\"}\n"
              "{\"index\":1,\"fileSystemLabel\":\"extX\",\"sizeText\":\"20   MB\",\"startSector\":22528,\"name\":\"\","
              "\"partitionName\":\"type 0x83\"}\n");
    const test::CliRun text = test::Cli("volumes " + image.Arg());
    EXPECT_EQ(text.out,
              "VOLUME  FILE_SYSTEM  VOLUME_SIZE  START_SECTOR  NAME  PARTITION\n"
              "0       FAT32        10   MB      2048          -     type 0x0c\n"
              "1       extX         20   MB      22528         -     type 0x83\n");
    // Status texts stay off a non-terminal stderr unless asked for; --verbose works after the command too.
    EXPECT_EQ(text.err, "");
    const test::CliRun verbose = test::Cli("volumes " + image.Arg() + " --verbose");
    EXPECT_EQ(verbose.out, text.out);
    EXPECT_NE(verbose.err.find("found FAT 32...\n"), std::string::npos) << verbose.err;
    EXPECT_NE(verbose.err.find("found ext2...\n"), std::string::npos) << verbose.err;
}

TEST(CliVolumes, AdvanceScanFindsBootSectorsBehindAnEmptyTable) {
    Image image("advance.img", 4 << 20);
    image.Write(2048 * 512, Fat32BootSector(4096));
    // Without a table the standard scan finds nothing, says so and names the advance scan and carving.
    const test::CliRun standard = test::Cli("volumes " + image.Arg());
    EXPECT_EQ(standard.exitCode, 1);
    EXPECT_EQ(standard.out, "VOLUME  FILE_SYSTEM  VOLUME_SIZE  START_SECTOR  NAME  PARTITION\n");
    EXPECT_NE(standard.err.find("no partition table and no file system"), std::string::npos) << standard.err;
    EXPECT_NE(standard.err.find("volumes " + image.Arg().substr(1, image.Arg().size() - 2) + " --advance"),
              std::string::npos) << standard.err;
    EXPECT_NE(standard.err.find("carve"), std::string::npos);
    const test::CliRun advance = test::Cli("volumes " + image.Arg() + " --advance --json");
    EXPECT_EQ(advance.exitCode, 0) << advance.err;
    EXPECT_EQ(nlohmann::json::parse(advance.out).at("startSector"), 2048);
    EXPECT_EQ(nlohmann::json::parse(advance.out).at("fileSystemLabel"), "FAT32");
    // A range that ends before the volume finds nothing, and says that carving is what is left.
    const test::CliRun ranged = test::Cli("volumes " + image.Arg() + " --advance --range 0 100 --json");
    EXPECT_EQ(ranged.exitCode, 1);
    EXPECT_EQ(ranged.out, "");
    EXPECT_NE(ranged.err.find("carve"), std::string::npos) << ranged.err;
}

// Images made by the real mkfs tools: each single-volume image is one bare row; the partitioned disk lists
// every partition but the extended one, in table order.
TEST(CliVolumes, FixtureImages) {
    const std::map<std::string, std::string> labels{{"FAT16", "FAT16"}, {"FAT32", "FAT32"},
                                                    {"exFAT", "FAT64"}, {"ext2", "extX"},
                                                    {"ext3", "extX"},   {"ext4", "extX"}};
    int checked = 0;
    for (const std::string& name : test::ListFixtures()) {
        const nlohmann::json manifest = test::ReadManifest(name);
        if (manifest.value("kind", "") != "volume" || !labels.count(manifest.value("filesystem", "")))
            continue;
        const std::uint64_t rawSize = manifest.at("raw_size");
        const test::CliRun result = test::Cli("volumes --json '" + test::Fixture(name).string() + "'");
        EXPECT_EQ(result.exitCode, 0) << name;
        nlohmann::ordered_json got = nlohmann::ordered_json::parse(result.out);
        // The everyday name is libblkid's: "FAT16", "exFAT", "ext4" ..., then the volume label if any.
        const std::string common = got.at("name");
        EXPECT_EQ(common.rfind(manifest.at("filesystem").get<std::string>(), 0), 0u) << name << ": " << common;
        got.erase("name");
        got.erase("partitionName");
        const nlohmann::ordered_json row{{"index", 0},
                                         {"fileSystemLabel", labels.at(manifest.at("filesystem"))},
                                         {"sizeText", std::to_string((rawSize + 1048575) / 1048576) + "  MB"},
                                         {"startSector", 0}};
        EXPECT_EQ(got.dump(), row.dump()) << name;
        ++checked;
    }
    EXPECT_GE(checked, 4);

    const nlohmann::json mbr = test::ReadManifest("mbr.img");
    const std::map<std::string, std::string> byType{
        {"0x06", "FAT16"}, {"0x0C", "FAT32"}, {"0x0B", "FAT32"}, {"0x83", "extX"}, {"0x07", "FAT64"}};
    std::string expected;
    int index = 0;
    for (const nlohmann::json& part : mbr.at("partitions")) {
        if (part.at("type") == "0x05") continue;
        const std::uint64_t sectors = part.at("sector_count");
        const nlohmann::ordered_json row{{"index", index++},
                                         {"fileSystemLabel", byType.at(part.at("type"))},
                                         {"sizeText", std::to_string(sectors >> 11) + "   MB"},
                                         {"startSector", part.at("start_sector")}};
        expected += row.dump() + "\n";
    }
    const test::CliRun disk = test::Cli("volumes --json '" + test::Fixture("mbr.img").string() + "'");
    EXPECT_EQ(disk.exitCode, 0);
    std::string got;
    for (std::size_t at = 0, end; (end = disk.out.find('\n', at)) != std::string::npos; at = end + 1) {
        nlohmann::ordered_json row = nlohmann::ordered_json::parse(disk.out.substr(at, end - at));
        EXPECT_FALSE(row.at("name").get<std::string>().empty()) << row.dump();
        row.erase("name");
        row.erase("partitionName");
        got += row.dump() + "\n";
    }
    EXPECT_EQ(got, expected);
}

TEST(CliVolumes, UnopenableSourceExitsOne) {
    const test::CliRun missing = test::Cli("volumes /nonexistent/salvora/disk.img");
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("Salvora: invalid handle ..."), std::string::npos) << missing.err;
    EXPECT_EQ(test::Cli("volumes '" + fs::temp_directory_path().string() + "'").exitCode, 1);
}

TEST(CliVolumes, UsageErrorsExitTwoAndHelpExitsZero) {
    EXPECT_EQ(test::Cli("volumes x.img --bogus").exitCode, 2);
    EXPECT_EQ(test::Cli("volumes").exitCode, 2);
    EXPECT_EQ(test::Cli("").exitCode, 2);
    EXPECT_EQ(test::Cli("frobnicate").exitCode, 2);
    EXPECT_EQ(test::Cli("volumes x.img --range 1 2").exitCode, 2);  // a range belongs to the advance scan
    EXPECT_EQ(test::Cli("volumes x.img --advance --range 1").exitCode, 2);
    EXPECT_EQ(test::Cli("volumes x.img --advance --gpt").exitCode, 2);
    EXPECT_EQ(test::Cli("volumes x.img --advance --range 1 abc").exitCode, 2);
    for (const char* help : {"--help", "volumes --help", "drives --help"}) {
        const test::CliRun result = test::Cli(help);
        EXPECT_EQ(result.exitCode, 0) << help;
        EXPECT_NE(result.out.find("Usage:"), std::string::npos) << help;
    }
}

}  // namespace
}  // namespace salvora
