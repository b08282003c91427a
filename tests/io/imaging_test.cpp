// A failing device, played by a reader over a file whose reads fail wherever they touch a chosen sector, as the
// kernel fails them: imaging it goes around the bad area in few reads and comes back to it sector by sector,
// the map it keeps is the one ddrescue's own tools read (and it goes on from theirs), and a pass over the
// device for a scan steps over the bad area and reads it again at the end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "cli/tsk_compare.h"
#include "fixture_util.h"
#include "io/imaging.h"
#include "io/rescue_map.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kSize = 24 * kMiB;
// A worn area of 10,000 sectors and two lone bad sectors.
const ByteRanges kBad = {{kMiB + 3 * 512, 512}, {5 * kMiB + 7 * 512, 10000 * 512}, {20 * kMiB + 100 * 512, 512}};

class BadDevice final : public FileReadSeek {
  public:
    ByteRanges bad = kBad;
    std::vector<std::pair<std::uint64_t, std::size_t>> reads;  // every read that reached the device
    std::size_t stopAfter = SIZE_MAX;                           // Stop is pressed after this many reads
    std::atomic<bool> stop{false};

  protected:
    std::int64_t ReadSome(std::uint8_t* out, std::size_t count, std::int64_t at, bool& ioError) override {
        reads.emplace_back(at, count);
        if (reads.size() >= stopAfter) stop = true;
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

class Imaging : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("salvora-imaging-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        source_.resize(kSize);
        for (std::size_t i = 0; i < kSize; ++i) source_[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13 | 1);
        // An empty stretch, so the image has a hole to leave.
        std::fill(source_.begin() + 12 * kMiB, source_.begin() + 14 * kMiB, 0);
        test::WriteBytes(dir_ / "source.img", source_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    ImagingOutcome Image(BadDevice& device, RescueMap& map, const std::string& output,
                         const std::function<bool(const RescueMap&)>& progress = {}) {
        EXPECT_TRUE(device.OpenSource((dir_ / "source.img").string()));
        const int out = ::open((dir_ / output).c_str(), O_WRONLY | O_CREAT, 0644);
        EXPECT_GE(out, 0);
        ImagingOptions options;
        options.progressMilliseconds = 0;
        const ImagingOutcome outcome = ImageSource(device, out, map, options, progress, {});
        ::close(out);
        return outcome;
    }

    static bool IsBad(std::uint64_t at) {
        for (const ByteRange& r : kBad)
            if (at >= r.offset && at < r.offset + r.length) return true;
        return false;
    }

    fs::path dir_;
    std::vector<std::uint8_t> source_;
};

TEST_F(Imaging, GoesAroundTheBadAreaFirstAndMapsEveryBadSectorExactly) {
    BadDevice device;
    RescueMap map;
    const ImagingOutcome outcome = Image(device, map, "out.img");
    EXPECT_FALSE(outcome.stopped);
    EXPECT_EQ(outcome.unreadable, 10002u * 512);
    std::vector<MapBlock> bad;
    for (const ByteRange& r : kBad) bad.push_back({r.offset, r.length, kBadSector});
    EXPECT_EQ(map.BlocksWith(kBadSector), bad);
    EXPECT_EQ(map.BytesWith(kRescued), kSize - 10002u * 512);
    EXPECT_EQ(map.currentStatus, kRescued);

    const std::string image = test::ReadAll(dir_ / "out.img");
    ASSERT_EQ(image.size(), kSize);
    for (std::uint64_t at = 0; at < kSize; at += 512) {
        const std::string want = IsBad(at) ? std::string(512, '\0') : std::string(source_.begin() + at, source_.begin() + at + 512);
        ASSERT_EQ(image.compare(at, 512, want), 0) << "sector at " << at;
    }
    // Sparse: the empty stretch was not written.
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "out.img").c_str(), &st), 0);
    EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, kSize - kMiB);

    // Large reads step over the worn area in a few growing skips; sector by sector, each bad sector is read once
    // when scraped and once more on the retry, never again, and no good sector more than once.
    std::size_t largeReadsInArea = 0;
    std::map<std::uint64_t, int> sectorReads;
    for (const auto& [at, count] : device.reads) {
        if (count > 512 && at < kBad[1].offset + kBad[1].length && at + count > kBad[1].offset) ++largeReadsInArea;
        if (count == 512) ++sectorReads[at];
    }
    EXPECT_LE(largeReadsInArea, 60u);  // against 10,000 sectors
    for (const auto& [at, n] : sectorReads) EXPECT_EQ(n, IsBad(at) ? 2 : 1) << "sector at " << at;
    for (std::uint64_t at = kBad[1].offset; at < kBad[1].offset + kBad[1].length; at += 512)
        ASSERT_EQ(sectorReads[at], 2) << "sector at " << at;
    EXPECT_LT(device.reads.size(), 2 * 10002u + 600);

    // ddrescue's own tool reads the map and finds the same bad sectors.
    ASSERT_TRUE(map.Save((dir_ / "out.map").string(), nullptr));
    if (!test::HaveTool("ddrescuelog")) GTEST_SKIP() << "ddrescuelog is missing (package gddrescue)";
    EXPECT_EQ(std::system(("ddrescuelog -D " + test::Quote((dir_ / "out.map").string()) + " 2>/dev/null").c_str()) == 0,
              false);  // not done: bad sectors remain
    std::istringstream listed(test::Shell("ddrescuelog -b 512 -l- " + test::Quote((dir_ / "out.map").string())));
    std::set<std::uint64_t> theirs, ours;
    for (std::uint64_t sector; listed >> sector;) theirs.insert(sector);
    for (const ByteRange& r : kBad)
        for (std::uint64_t at = r.offset; at < r.offset + r.length; at += 512) ours.insert(at / 512);
    EXPECT_EQ(theirs, ours);
}

TEST_F(Imaging, ARunThatWasStoppedOrBegunByDdrescueReadsOnlyWhatIsMissing) {
    BadDevice first;
    first.bad.clear();
    RescueMap map;
    int calls = 0;
    const ImagingOutcome stopped = Image(first, map, "out.img", [&](const RescueMap&) { return ++calls < 6; });
    ASSERT_TRUE(stopped.stopped);
    const std::string mapPath = (dir_ / "out.map").string();
    ASSERT_TRUE(map.Save(mapPath, nullptr));
    std::string why;
    std::optional<RescueMap> reloaded = RescueMap::Load(mapPath, &why);
    ASSERT_TRUE(reloaded) << why;
    EXPECT_EQ(reloaded->Blocks(), map.Blocks());
    const std::vector<MapBlock> done = map.BlocksWith(kRescued);
    ASSERT_FALSE(done.empty());

    BadDevice second;
    second.bad.clear();
    const ImagingOutcome finished = Image(second, *reloaded, "out.img");
    EXPECT_EQ(finished.unreadable, 0u);
    for (const auto& [at, count] : second.reads)
        for (const MapBlock& b : done) EXPECT_FALSE(at < b.pos + b.size && b.pos < at + count) << "read again at " << at;
    EXPECT_EQ(test::ReadAll(dir_ / "out.img"), std::string(source_.begin(), source_.end()));

    // ddrescue stopped after 8 MiB: its image and map are taken up where it left off.
    if (!test::HaveTool("ddrescue")) GTEST_SKIP() << "ddrescue is missing (package gddrescue)";
    const std::string src = test::Quote((dir_ / "source.img").string());
    ASSERT_EQ(std::system(("ddrescue -q -s 8MiB " + src + " " + test::Quote((dir_ / "dd.img").string()) + " " +
                           test::Quote((dir_ / "dd.map").string()))
                              .c_str()),
              0);
    std::optional<RescueMap> theirs = RescueMap::Load((dir_ / "dd.map").string(), &why);
    ASSERT_TRUE(theirs) << why;
    EXPECT_EQ(theirs->BytesWith(kRescued), 8 * kMiB);
    BadDevice third;
    third.bad.clear();
    Image(third, *theirs, "dd.img");
    for (const auto& [at, count] : third.reads) EXPECT_GE(at, 8 * kMiB);
    EXPECT_EQ(test::ReadAll(dir_ / "dd.img"), std::string(source_.begin(), source_.end()));
    ASSERT_TRUE(theirs->Save((dir_ / "dd.map").string(), nullptr));
    EXPECT_EQ(std::system(("ddrescuelog -D " + test::Quote((dir_ / "dd.map").string())).c_str()), 0);
}

TEST_F(Imaging, AScanStepsOverTheBadAreaAndComesBackToItAtTheEnd) {
    BadDevice device;
    ASSERT_TRUE(device.OpenSource((dir_ / "source.img").string()));
    device.SetSkipAhead(true);
    std::vector<std::uint8_t> piece(4 * kMiB);
    ByteRanges missing;
    for (std::uint64_t at = 0; at < kSize; at += piece.size()) device.ReadAt(at, piece, &missing);
    std::size_t readsInArea = 0;
    for (const auto& [at, count] : device.reads)
        if (at < kBad[1].offset + kBad[1].length && at + count > kBad[1].offset) ++readsInArea;
    EXPECT_LE(readsInArea, 12u);
    // What was skipped is said missing, every bad byte with it.
    for (const ByteRange& r : kBad) {
        bool covered = false;
        for (const ByteRange& m : missing) covered |= m.offset <= r.offset && m.offset + m.length >= r.offset + r.length;
        EXPECT_TRUE(covered) << r.offset;
    }
    EXPECT_GT(device.SkippedBytes(), 0u);

    device.SetSkipAhead(false);
    const ByteRanges readable = device.RetrySkipped();
    EXPECT_EQ(device.SkippedBytes(), 0u);
    std::vector<MapBlock> known;
    for (const ByteRange& r : kBad) known.push_back({r.offset, r.length, kBadSector});
    EXPECT_EQ(device.Known().BlocksWith(kBadSector), known);
    std::uint64_t skippedGood = 0;
    for (const ByteRange& r : readable) skippedGood += r.length;
    EXPECT_GT(skippedGood, 0u);

    // A later read of a file over the area: its bad sectors are not read again, its good ones are.
    device.reads.clear();
    std::vector<std::uint8_t> file(kBad[1].length + 8192);
    missing.clear();
    EXPECT_FALSE(device.ReadAt(kBad[1].offset - 4096, file, &missing));
    EXPECT_EQ(missing, (ByteRanges{{kBad[1].offset, kBad[1].length}}));
    for (const auto& [at, count] : device.reads) EXPECT_FALSE(IsBad(at)) << at;
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + 4096, source_.begin() + static_cast<std::ptrdiff_t>(kBad[1].offset - 4096)));

    // Outside a pass, a bad sector met for the first time is read 1 + retries times, then never again.
    BadDevice fresh;
    ASSERT_TRUE(fresh.OpenSource((dir_ / "source.img").string()));
    const auto readsOfLoneSector = [&] {
        return std::count_if(fresh.reads.begin(), fresh.reads.end(), [](const auto& r) {
            return r.first <= kBad[0].offset && kBad[0].offset < r.first + r.second;
        });
    };
    std::vector<std::uint8_t> around(64 * 1024);
    for (int pass = 0; pass < 2; ++pass) {
        missing.clear();
        EXPECT_FALSE(fresh.ReadAt(kBad[0].offset - 4096, around, &missing));
        EXPECT_EQ(missing, (ByteRanges{kBad[0]}));
    }
    EXPECT_EQ(readsOfLoneSector(), 1 + 2);  // the large read, then the sector itself twice
}

TEST_F(Imaging, StopInTheMiddleOfABadAreaEndsTheReadAtOnce) {
    BadDevice device;
    ASSERT_TRUE(device.OpenSource((dir_ / "source.img").string()));
    device.SetInterrupt(&device.stop);
    device.stopAfter = 20;
    std::vector<std::uint8_t> piece(4 * kMiB);
    ByteRanges missing;
    EXPECT_FALSE(device.ReadAt(kBad[1].offset, piece, &missing));
    EXPECT_LE(device.reads.size(), 21u);  // not 8,192 sectors, each tried twice
    EXPECT_EQ(missing, (ByteRanges{{kBad[1].offset, piece.size()}}));
}

TEST(RescueMapText, RefusesWhatIsNotAMapAndKeepsWhatIs) {
    std::string why;
    EXPECT_FALSE(RescueMap::Parse("hello\n", &why));
    EXPECT_FALSE(RescueMap::Parse("0x0 ? 1\n0x200 0x200 +\n0x0 0x200 -\n", &why));  // out of order
    EXPECT_FALSE(RescueMap::Parse("0x0 ? 1\n0x0 0x200 x\n", &why));
    EXPECT_FALSE(RescueMap::Parse("0x0 ? 1\n0xFFFFFFFFFFFFFFFF 0x200 +\n", &why));
    // ddrescue before 1.21 wrote no pass number.
    const auto map = RescueMap::Parse("# c\n0x400 /\n0x0 0x200 +\n0x200 0x400 -\n0x600 0x200 +\n", &why);
    ASSERT_TRUE(map) << why;
    EXPECT_EQ(map->currentStatus, kNotScraped);
    EXPECT_EQ(map->NotRescued(), (ByteRanges{{0x200, 0x400}}));
    const auto again = RescueMap::Parse(map->Text(), &why);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->Blocks(), map->Blocks());
}

}  // namespace
}  // namespace salvora
