// The sector reader and the volume window on small image files made in the test: lengths, short reads, bad paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "io/volume_window.h"
#include "fixture_util.h"

namespace salvora {
namespace {

std::filesystem::path WriteImage(const std::string& name, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return test::WriteBytes(std::filesystem::temp_directory_path() / ("salvora-reader-" + name), bytes);
}

TEST(FileReadSeek, AShortReadOrOneOfNothingGivesZerosAndNamesTheRange) {
    auto path = WriteImage("odd", 1000);
    FileReadSeek reader;
    ASSERT_TRUE(reader.OpenSource(path.string()));
    EXPECT_EQ(reader.sourceLength, 1000u);
    std::vector<std::uint8_t> buf(512, 0xAA);
    ByteRanges missing;
    EXPECT_FALSE(reader.ReadAt(512, buf, &missing));
    EXPECT_EQ(buf[0], static_cast<std::uint8_t>(512 * 7 + 1));
    EXPECT_EQ(buf[487], static_cast<std::uint8_t>(999 * 7 + 1));
    EXPECT_EQ(buf[488], 0);
    EXPECT_EQ(buf[511], 0);
    EXPECT_EQ(missing, (ByteRanges{{1000, 24}}));
    std::fill(buf.begin(), buf.end(), 0xAA);
    EXPECT_FALSE(reader.ReadAt(4096, buf, &missing));
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[511], 0);
    EXPECT_EQ(missing, (ByteRanges{{1000, 24}, {4096, 512}}));
}

TEST(VolumeWindow, ReadsFromTheVolumesStartAndNamesWhatLayPastTheWindowOrTheSource) {
    auto path = WriteImage("window", 4096);
    FileReadSeek reader;
    ASSERT_TRUE(reader.OpenSource(path.string()));
    std::uint8_t a[512];
    ASSERT_TRUE(reader.ReadAt(1024, a));

    const VolumeWindow window(&reader, 1024, 2048);
    std::vector<std::uint8_t> out(1024, 0xAA);
    ByteRanges missing;
    EXPECT_TRUE(window.ReadAt(0, out, &missing));
    EXPECT_TRUE(std::equal(a, a + 512, out.begin()));
    EXPECT_TRUE(missing.empty());
    // Half inside the window, half past it: zeros, and the range named in the volume's offsets.
    EXPECT_FALSE(window.ReadAt(1536, out, &missing));
    EXPECT_EQ(out[0], static_cast<std::uint8_t>((1024 + 1536) * 7 + 1));
    EXPECT_EQ(out[512], 0);
    EXPECT_EQ(missing, (ByteRanges{{2048, 512}}));
    // A window that claims more than the source holds: the same rule at the source's end.
    const VolumeWindow longer = VolumeWindow::Over(&reader, 3584, 1 << 20);
    EXPECT_EQ(longer.Length(), 1u << 20);
    missing.clear();
    std::fill(out.begin(), out.end(), 0xAA);
    EXPECT_FALSE(longer.ReadAt(256, out, &missing));
    EXPECT_EQ(out[255], static_cast<std::uint8_t>(4095 * 7 + 1));
    EXPECT_EQ(out[256], 0);
    EXPECT_EQ(missing, (ByteRanges{{512, 768}}));
    // Without a claim the window reaches to the source's end.
    EXPECT_EQ(VolumeWindow::Over(&reader, 1024, 0).Length(), 3072u);
}

TEST(FileReadSeek, UnopenableSourcesFail) {
    FileReadSeek reader;
    EXPECT_FALSE(reader.OpenSource("/nonexistent/salvora/image.img"));
    EXPECT_FALSE(reader.OpenSource(std::filesystem::temp_directory_path().string()));
    std::uint8_t buf[512];
    ByteRanges missing;
    EXPECT_FALSE(reader.ReadAt(0, buf, &missing));
    EXPECT_EQ(missing, (ByteRanges{{0, 512}}));
}

TEST(FileReadSeek, ZeroLengthImageOpensWithNoSectors) {
    auto path = WriteImage("empty", 0);
    FileReadSeek reader;
    ASSERT_TRUE(reader.OpenSource(path.string()));
    EXPECT_EQ(reader.sourceLength, 0u);
    std::uint8_t buf[512] = {};
    EXPECT_FALSE(reader.ReadAt(0, buf));
}

}  // namespace
}  // namespace salvora
