// Carving the ground-truth image (real files on a FAT32 volume that was formatted again) with the shipped
// default signatures, and saving what was found: every original must come back bit for bit.
// Needs the zstd and sha256sum commands.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "fixture_util.h"
#include "io/file_read_seek.h"
#include "raw/carved_saver.h"
#include "raw/carving_engine.h"
#include "raw/settings_file.h"
#include "raw_test_support.h"

namespace salvora {
namespace {

std::set<std::string> HashesIn(const std::filesystem::path& folder) {
    std::set<std::string> hashes;
    std::istringstream lines(test::Shell("cd " + test::Quote(folder.string()) + " && sha256sum -- *"));
    for (std::string line; std::getline(lines, line);)
        if (line.size() >= 64) hashes.insert(line.substr(0, 64));
    return hashes;
}

TEST(RawGroundTruth, EveryOriginalIsCarvedBitExact) {
    const auto image = test::Fixture("carve-groundtruth.img");
    const auto manifest = test::ReadManifest("carve-groundtruth.img");
    rawtest::RecordingUi ui;
    FileReadSeek reader;
    ASSERT_TRUE(reader.OpenSource(image.string()));
    ResultTree tree;
    myJpg engine;
    ASSERT_TRUE(LoadSettingsFile(engine, DefaultSettingsPath(), SettingsKind::Default));
    engine.tree = &tree;
    engine.volumeSize = static_cast<std::int64_t>(std::filesystem::file_size(image));
    engine.window = VolumeWindow(&reader, 0, reader.sourceLength);
    engine.RunCarving();

    const auto out =
        std::filesystem::temp_directory_path() / ("salvora-groundtruth-" + std::to_string(::getpid()));
    std::filesystem::remove_all(out);
    std::filesystem::create_directories(out);
    const std::atomic<bool> cancel{false};
    const std::vector<std::size_t> rows = CheckedCarvedRows(tree);
    EXPECT_TRUE(rows.empty());  // nothing is checked yet
    const auto all = CarvedRowsUnder(tree, tree.Root());
    ASSERT_EQ(all.size(), engine.CarvedCount());
    const CarvedSaveOutcome saved = SaveCarvedFiles(engine, all, out.string(), cancel);
    EXPECT_EQ(saved.failed, 0u);
    EXPECT_EQ(saved.written, all.size());
    const std::set<std::string> carved = HashesIn(out);
    std::filesystem::remove_all(out);

    std::size_t exact = 0;
    for (const auto& file : manifest["files"]) {
        const bool found = carved.count(file["sha256"].get<std::string>()) > 0;
        EXPECT_TRUE(found) << file["path"];
        exact += found;
    }
    EXPECT_EQ(exact, manifest["files"].size());
    EXPECT_GE(exact, 11u);
}

}  // namespace
}  // namespace salvora
