// The sector reader on small image files made in the test: lengths, short reads, base offset, bad paths.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "io/file_read_seek.h"

namespace salvora {
namespace {

std::filesystem::path WriteImage(const std::string& name, std::size_t length) {
    auto path = std::filesystem::temp_directory_path() / ("salvora-reader-" + name);
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < length; ++i) out.put(static_cast<char>(i * 7 + 1));
    return path;
}

TEST(FileReadSeek, LengthNotMultipleOfSectorRoundsDownAndZeroFillsTail) {
    auto path = WriteImage("odd", 1000);
    FileReadSeek reader;
    ASSERT_TRUE(reader.OpenSource(path.string()));
    EXPECT_EQ(totalSectors, 1u);
    EXPECT_EQ(reader.sourceLength, 1000u);
    std::vector<std::uint8_t> buf(512, 0xAA);
    ASSERT_TRUE(reader.SeekBytes(512));
    EXPECT_FALSE(reader.ReadBytes(buf.data(), 512));
    EXPECT_EQ(buf[0], static_cast<std::uint8_t>(512 * 7 + 1));
    EXPECT_EQ(buf[487], static_cast<std::uint8_t>(999 * 7 + 1));
    EXPECT_EQ(buf[488], 0);
    EXPECT_EQ(buf[511], 0);
}

TEST(FileReadSeek, ReadOfNothingLeavesBufferAndFails) {
    auto path = WriteImage("short", 512);
    FileReadSeek reader;
    ASSERT_TRUE(reader.OpenSource(path.string()));
    std::vector<std::uint8_t> buf(512, 0xAA);
    ASSERT_TRUE(reader.SeekBytes(4096));
    EXPECT_FALSE(reader.ReadBytes(buf.data(), 512));
    EXPECT_EQ(buf[0], 0xAA);
    EXPECT_EQ(buf[511], 0xAA);
}

TEST(FileReadSeek, BaseOffsetAppliesToEverySeekAndReadsAreSequential) {
    auto path = WriteImage("base", 4096);
    FileReadSeek reader;
    ASSERT_TRUE(reader.OpenSource(path.string()));
    reader.baseOffset = 1024;
    std::uint8_t a[512], b[512];
    ASSERT_TRUE(reader.SeekBytes(0));
    ASSERT_TRUE(reader.ReadBytes(a, 512));
    ASSERT_TRUE(reader.ReadBytes(b, 512));
    EXPECT_EQ(a[0], static_cast<std::uint8_t>(1024 * 7 + 1));
    EXPECT_EQ(b[0], static_cast<std::uint8_t>(1536 * 7 + 1));
    EXPECT_FALSE(reader.SeekBytes(-2048));
}

TEST(FileReadSeek, UnopenableSourcesFailWithoutChangingTotalSectors) {
    auto path = WriteImage("keep", 2048);
    FileReadSeek good;
    ASSERT_TRUE(good.OpenSource(path.string()));
    ASSERT_EQ(totalSectors, 4u);
    FileReadSeek reader;
    EXPECT_FALSE(reader.OpenSource("/nonexistent/salvora/image.img"));
    EXPECT_FALSE(reader.OpenSource(std::filesystem::temp_directory_path().string()));
    EXPECT_EQ(totalSectors, 4u);
    std::uint8_t buf[512];
    EXPECT_FALSE(reader.ReadBytes(buf, 512));
}

TEST(FileReadSeek, ZeroLengthImageOpensWithNoSectors) {
    auto path = WriteImage("empty", 0);
    FileReadSeek reader;
    ASSERT_TRUE(reader.OpenSource(path.string()));
    EXPECT_EQ(totalSectors, 0u);
    std::uint8_t buf[512] = {};
    EXPECT_FALSE(reader.ReadBytes(buf, 512));
}

}  // namespace
}  // namespace salvora
