// salvora-cli carve and signature on the ground-truth image and a fresh settings file.
// Needs the built salvora-cli and the zstd command.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/cli_run.h"
#include "fixture_util.h"

namespace salvora {
namespace {

using test::Cli;
using test::CliRun;

TEST(RawCli, CarveListsAndWritesTheGroundTruthFiles) {
    const auto image = test::Fixture("carve-groundtruth.img");
    const auto out =
        std::filesystem::temp_directory_path() / ("salvora-cli-carve-" + std::to_string(::getpid()));
    std::filesystem::remove_all(out);
    const CliRun run = Cli("carve '" + image.string() + "' --json --out '" + out.string() + "'");
    ASSERT_EQ(run.exitCode, 0);
    std::istringstream lines(run.out);
    std::string line;
    std::size_t count = 0, jpegs = 0;
    while (std::getline(lines, line)) {
        const auto row = nlohmann::json::parse(line);
        ++count;
        const std::string name = row.at("name");
        EXPECT_EQ(name, std::to_string(row.at("start").get<std::int64_t>()) + " ." +
                            name.substr(name.find('.') + 1));
        EXPECT_EQ(std::filesystem::file_size(out / name), row.at("size").get<std::uint64_t>());
        jpegs += row.at("category") == "Pictures" && name.ends_with(".jpg");
    }
    EXPECT_EQ(count, 11u);
    EXPECT_EQ(jpegs, 4u);
    // Carving into the same folder again never overwrites: the second copies get numbered names.
    ASSERT_EQ(Cli("carve '" + image.string() + "' --out '" + out.string() + "'").exitCode, 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), 22);
    std::filesystem::remove_all(out);
}

TEST(RawCli, SignatureAddWritesRecordsThatCarveUses) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("salvora-cli-sig-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "mine.txt").string();
    EXPECT_EQ(Cli("signature add '" + file +
                  "' --ext png --start 0x89,0x50,0x4E,0x47 "
                  "--end 49,45,4E,44,AE,42,60,82 --approx-size 10000000 --category Mine")
                  .exitCode,
              0);
    EXPECT_EQ(Cli("signature add '" + file + "' --ext '' --start 1,2").exitCode, 2);
    EXPECT_EQ(std::filesystem::file_size(file), 171u);
    const CliRun list = Cli("signature list '" + file + "'");
    EXPECT_NE(list.out.find("png\t0x89,0x50,0x4E,0x47"), std::string::npos) << list.out;

    const auto image = test::Fixture("carve-groundtruth.img");
    const CliRun carve = Cli("carve '" + image.string() + "' --no-default --signatures '" + file + "'");
    ASSERT_EQ(carve.exitCode, 0);
    EXPECT_NE(carve.out.find("Mine\t1435648 .png\t1435648\t645120"), std::string::npos) << carve.out;
    EXPECT_EQ(std::count(carve.out.begin(), carve.out.end(), '\n'), 3);  // the header line and two PNGs
    EXPECT_EQ(Cli("carve '" + image.string() + "' --no-default").exitCode,
              1);  // "enter the info file first.."
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace salvora
