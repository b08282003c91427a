// Saving carved rows: the bytes come through the reader (baseOffset included), names follow the tree items,
// and an existing file is never overwritten. Needs a temporary folder.
#include "raw/carved_saver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fixture_util.h"
#include "raw_test_support.h"

namespace salvora {
namespace {

using test::ReadAll;

TEST(RawSave, RowsAreWrittenBesideExistingFilesNotOverThem) {
    std::vector<std::uint8_t> disk(4096 + rawtest::kMiB, 0);
    rawtest::Put(disk, 4096 + 512, {0xAA, 0xBB, 'h', 'e', 'l', 'l', 'o'});
    rawtest::MemoryReader reader(disk);
    rawtest::RecordingUi ui;
    ResultTree tree;
    myJpg engine;
    engine.window = VolumeWindow(&reader, 4096, rawtest::kMiB);  // the volume starts 4 KiB into the source
    engine.tree = &tree;
    engine.volumeSize = rawtest::kMiB;
    engine.AddSignature(rawtest::Record("txt", "AA,BB", "", "Text", 7));
    engine.RunCarving();
    ASSERT_EQ(engine.CarvedCount(), 1u);

    const auto dir =
        std::filesystem::temp_directory_path() / ("salvora-raw-save-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "512 .txt") << "keep me";
    const std::atomic<bool> cancel{false};
    const auto category = tree.Children(tree.Root()).front();
    tree.SetCheck(category, true);
    const auto rows = CheckedCarvedRows(tree);
    ASSERT_EQ(rows, std::vector<std::size_t>{0});
    const CarvedSaveOutcome outcome = SaveCarvedFiles(engine, rows, dir.string(), cancel);
    EXPECT_EQ(outcome.written, 1u);
    ASSERT_EQ(outcome.paths.size(), 1u);
    EXPECT_NE(outcome.paths[0], (dir / "512 .txt").string());
    EXPECT_EQ(ReadAll(outcome.paths[0]), std::string("\xAA\xBBhello"));
    EXPECT_EQ(ReadAll(dir / "512 .txt"), "keep me");
    EXPECT_EQ(ui.statuses.back(), "saving File  " + outcome.paths[0]);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace salvora
