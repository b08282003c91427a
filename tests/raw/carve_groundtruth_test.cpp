// Carving the ground-truth image (real files on a FAT32 volume that was formatted again) with the shipped
// default signatures, and saving what was found: every original must come back bit for bit.
// Needs the zstd and sha256sum commands.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <atomic>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "fixture_util.h"
#include "io/file_read_seek.h"
#include "io/rescue_map.h"
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


// A card that fails where it is worn. Reads may come from two threads; the bad ranges never change.
class WornCard final : public FileReadSeek {
  public:
    ByteRanges bad;
    std::thread::id owner = std::this_thread::get_id();
    std::atomic<int> readElsewhere{0};

  protected:
    std::int64_t ReadSome(std::uint8_t* out, std::size_t count, std::int64_t at, bool& ioError) override {
        if (std::this_thread::get_id() != owner) ++readElsewhere;
        const auto from = static_cast<std::uint64_t>(at);
        for (const ByteRange& r : bad) {
            if (from < r.offset + r.length && r.offset < from + count) {
                ioError = true;
                return 0;
            }
        }
        return FileReadSeek::ReadSome(out, count, at, ioError);
    }
};

// The same card read through ReadAt alone, as a reader that cannot be shared between threads is.
class OneThread final : public readWriteInterface {
  public:
    explicit OneThread(FileReadSeek& card) : card_(card) { sourceLength = card.sourceLength; }
    bool OpenSource(const std::string&) override { return true; }
    bool ReadAt(std::uint64_t at, std::span<std::uint8_t> out, ByteRanges* missing) override {
        return card_.ReadAt(at, out, missing);
    }

  private:
    FileReadSeek& card_;
};

struct Carving {
    std::vector<std::tuple<std::int64_t, std::int64_t, std::uint32_t>> files;
    std::int64_t unreadable = 0;
    std::string known;
};

Carving Carve(readWriteInterface& reader, FileReadSeek& card, std::int64_t size) {
    myJpg engine;
    EXPECT_TRUE(LoadSettingsFile(engine, DefaultSettingsPath(), SettingsKind::Default));
    engine.volumeSize = size;
    engine.window = VolumeWindow(&reader, 0, card.sourceLength);
    card.SetSkipAhead(true);
    engine.RunCarving();
    card.SetSkipAhead(false);
    Carving c;
    for (const CarvedFile& f : engine.CarvedFiles()) c.files.emplace_back(f.start, f.size, f.type);
    c.unreadable = engine.unreadableBytes;
    c.known = card.Known().Text();
    return c;
}

// Reading on two cores changes nothing that a scan sees: on a card that reads well until a lone bad sector
// and a worn stretch late in the scan, the files, the unreadable byte count and what the card has learned of
// its bad areas are those of one thread. The bad sector ends a block the scan reads itself, so the step over
// it reaches into a block the helper may have read already.
TEST(RawGroundTruth, TwoReadingThreadsFindWhatOneFinds) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: the scan reads on one thread";
    const auto image = test::Fixture("carve-groundtruth.img");
    rawtest::RecordingUi ui;
    const auto size = static_cast<std::int64_t>(std::filesystem::file_size(image));
    const ByteRanges bad = {{9 * rawtest::kMiB - 1024, 512}, {40 * rawtest::kMiB + 4096, 300 * 1024}};

    WornCard shared;
    shared.bad = bad;
    ASSERT_TRUE(shared.OpenSource(image.string()));
    const Carving two = Carve(shared, shared, size);
    EXPECT_GT(shared.readElsewhere.load(), 0);

    WornCard alone;
    alone.bad = bad;
    ASSERT_TRUE(alone.OpenSource(image.string()));
    OneThread through(alone);
    const Carving one = Carve(through, alone, size);
    EXPECT_EQ(alone.readElsewhere.load(), 0);

    EXPECT_GE(one.files.size(), 11u);
    EXPECT_EQ(two.files, one.files);
    EXPECT_GT(one.unreadable, 300 * 1024);
    EXPECT_EQ(two.unreadable, one.unreadable);
    EXPECT_EQ(two.known, one.known);
}

}  // namespace
}  // namespace salvora
