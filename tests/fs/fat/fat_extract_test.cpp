// ExtractFile of the FAT parsers on images built in the test: chains, the deleted-file and formatted-drive
// reads, loop guards, never overwriting, and the local times set on the output. Needs a temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "fat_image_builder.h"
#include "fat_scan_util.h"
#include "fs/fat/fat16_class.h"
#include "fs/fat/fat32_class.h"
#include "fs/fat/fat_dos_time.h"

namespace salvora {
namespace {

using test::FatImageBuilder;
using test::FindPath;
using test::ReadFileBytes;
using test::RunStandard;
using test::ShortSlot;

class FatExtract : public ::testing::TestWithParam<FatKind> {
  protected:
    void SetUp() override {
        out_ = std::filesystem::temp_directory_path() /
               ("salvora-fat-out-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(out_);
        std::filesystem::create_directories(out_);
    }
    void TearDown() override { std::filesystem::remove_all(out_); }

    // Runs the standard steps and extracts path; returns the written bytes (empty when the call failed).
    struct Result {
        bool ok = false;
        std::vector<std::uint8_t> bytes;
        std::filesystem::path file;
        struct stat st {};  // taken before the bytes are read back, which moves the access time
    };
    Result Extract(const FatImageBuilder& b, const std::string& path, bool formatted = false) {
        const auto image = b.Write(std::string("extract-") + (GetParam() == FatKind::Fat16 ? "16" : "32"));
        Result r;
        r.file = out_ / ("out" + std::to_string(counter_++));
        if (GetParam() == FatKind::Fat16) {
            auto s = RunStandard<Fat16Class>(image, 0, formatted);
            const auto id = FindPath(s->parser, path);
            if (!id) return r;
            r.ok = static_cast<bool>(s->parser.ExtractFile(*id, r.file.string()));
        } else {
            auto s = RunStandard<Fat32Class>(image, 0, formatted);
            const auto id = FindPath(s->parser, path);
            if (!id) return r;
            r.ok = static_cast<bool>(s->parser.ExtractFile(*id, r.file.string()));
        }
        ::stat(r.file.c_str(), &r.st);
        r.bytes = ReadFileBytes(r.file);
        return r;
    }

    std::filesystem::path out_;
    int counter_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Kinds, FatExtract, ::testing::Values(FatKind::Fat16, FatKind::Fat32));

TEST_P(FatExtract, FragmentedChainIsWrittenInChainOrder) {
    FatImageBuilder b(GetParam());
    auto root = b.Root();
    const auto content = test::Pattern(2000, 9);  // four clusters: 20, 35, 21, 50
    b.Skip(60);
    const std::uint32_t order[] = {20, 35, 21, 50};
    for (int i = 0; i < 4; ++i) {
        const std::size_t n = std::min<std::size_t>(512, content.size() - i * 512);
        b.Poke(b.ClusterOffset(order[i]), content.data() + i * 512, n);
        b.SetFat(order[i], i < 3 ? order[i + 1] : b.EndMark());
    }
    b.Append(root, ShortSlot("FRAG    BIN", 0x20, 20, 2000));
    const auto r = Extract(b, "/FRAG.BIN");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, content);
}

TEST_P(FatExtract, DeletedFileWithZeroedChainComesBackWholeFromConsecutiveClusters) {
    FatImageBuilder b(GetParam());
    auto root = b.Root();
    const auto content = test::Pattern(3000, 4);
    const std::uint32_t first = b.AddFile(root, "GONE    JPG", content);
    for (std::uint32_t c = first; c < first + 6; ++c) b.SetFat(c, 0);  // what deletion does
    b.image[b.SlotOffset(root, root.used - 1)] = 0xE5;
    const auto r = Extract(b, "/\xEF\xBF\xA5ONE.JPG");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, content);
}

TEST_P(FatExtract, LiveFileWithAChainEndingEarlyIsShortAndReportedAsSuch) {
    FatImageBuilder b(GetParam());
    auto root = b.Root();
    const auto content = test::Pattern(3000, 4);
    const std::uint32_t first = b.AddFile(root, "CUT     BIN", content);
    b.SetFat(first, b.EndMark());
    const auto r = Extract(b, "/CUT.BIN");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.bytes, std::vector<std::uint8_t>(content.begin(), content.begin() + 512));
}

TEST_P(FatExtract, LoopingChainEndsAtTheRepeat) {
    FatImageBuilder b(GetParam());
    auto root = b.Root();
    const auto content = test::Pattern(1536, 5);
    const std::uint32_t first = b.AddFile(root, "LOOP    BIN", content);
    b.SetFat(first + 2, first);  // third cluster points back to the first
    b.Poke(b.SlotOffset(root, root.used - 1) + 28, "\x00\x00\x00\x40", 4);  // claims 1 GiB
    const auto r = Extract(b, "/LOOP.BIN");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.bytes, content);
}

TEST_P(FatExtract, DriveFormattedReadsConsecutiveClustersForLiveFilesToo) {
    FatImageBuilder b(GetParam());
    auto root = b.Root();
    const auto content = test::Pattern(1200, 6);
    const std::uint32_t first = b.AddFile(root, "FMT     BIN", content);
    b.SetFat(first, 0);
    const auto r = Extract(b, "/FMT.BIN", true);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, content);
}

TEST_P(FatExtract, EmptyFileAndExistingDestination) {
    FatImageBuilder b(GetParam());
    auto root = b.Root();
    b.AddFile(root, "EMPTY   TXT", {});
    const auto r = Extract(b, "/EMPTY.TXT");
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(std::filesystem::exists(r.file));
    EXPECT_EQ(std::filesystem::file_size(r.file), 0u);

    // never written over
    auto s = RunStandard<Fat32Class>([&] {
        FatImageBuilder c(FatKind::Fat32);
        auto r32 = c.Root();
        c.AddFile(r32, "DATA    BIN", test::Pattern(100, 1));
        return c.Write("exists");
    }());
    const auto taken = out_ / "taken";
    { std::ofstream(taken) << "keep me"; }
    EXPECT_FALSE(s->parser.ExtractFile(*FindPath(s->parser, "/DATA.BIN"), taken.string()));
    EXPECT_EQ(ReadFileBytes(taken), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
    EXPECT_FALSE(s->parser.ExtractFile(0, (out_ / "root").string()));  // a folder has no content
}

TEST_P(FatExtract, AccessAndModificationTimesAreSetAsLocalTime) {
    FatImageBuilder b(GetParam());
    auto root = b.Root();
    test::SlotTimes t;
    t.writeDate = test::DosDateWord(2019, 6, 15);
    t.writeTime = test::DosTimeWord(22, 41, 36);
    t.accessDate = test::DosDateWord(2020, 1, 2);
    b.AddFile(root, "TIMED   TXT", test::Pattern(10, 1), 0x20, {}, t);
    test::SlotTimes bad = t;
    bad.writeDate = test::DosDateWord(2019, 14, 0);  // no such date
    b.AddFile(root, "BADTIME TXT", test::Pattern(10, 1), 0x20, {}, bad);

    const auto r = Extract(b, "/TIMED.TXT");
    ASSERT_TRUE(r.ok);
    struct stat st = r.st;
    EXPECT_EQ(st.st_mtime, *DosToLocalTime(t.writeDate, t.writeTime));
    EXPECT_EQ(st.st_atime, *DosToLocalTime(t.accessDate, 0));
    std::tm local{};
    localtime_r(&st.st_mtime, &local);
    EXPECT_EQ(local.tm_hour, 22);
    EXPECT_EQ(local.tm_min, 41);

    const std::time_t before = std::time(nullptr);
    const auto r2 = Extract(b, "/BADTIME.TXT");
    ASSERT_TRUE(r2.ok);
    st = r2.st;
    EXPECT_GE(st.st_mtime, before - 5);  // left as written, not 1980 or garbage
    EXPECT_EQ(st.st_atime, *DosToLocalTime(t.accessDate, 0));
}

TEST_P(FatExtract, SameFileTwiceIsWholeBothTimes) {
    FatImageBuilder b(GetParam());
    auto root = b.Root();
    const auto content = test::Pattern(5000, 3);
    b.AddFile(root, "TWICE   BIN", content);
    const auto image = b.Write("twice");
    auto check = [&](auto& parser) {
        const auto id = FindPath(parser, "/TWICE.BIN");
        ASSERT_TRUE(id);
        ASSERT_TRUE(parser.ExtractFile(*id, (out_ / "a").string()));
        ASSERT_TRUE(parser.ExtractFile(*id, (out_ / "b").string()));
        EXPECT_EQ(ReadFileBytes(out_ / "a"), content);
        EXPECT_EQ(ReadFileBytes(out_ / "b"), content);
    };
    if (GetParam() == FatKind::Fat16) {
        check(RunStandard<Fat16Class>(image)->parser);
    } else {
        check(RunStandard<Fat32Class>(image)->parser);
    }
}

}  // namespace
}  // namespace salvora
