// Reading an entry through its runs: source bytes at their absolute offsets whatever the reader's base, holes
// as zeros, resident bytes, and every range that could not be read named, never passed over as data.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "model/entry_content.h"

namespace salvora {
namespace {

TEST(EntryContent, RunsReadInFileOrderAndEveryGapIsNamed) {
    const auto path = std::filesystem::temp_directory_path() / ("salvora-runs-" + std::to_string(::getpid()));
    std::string disk(8192, '\0');
    for (std::size_t i = 0; i < disk.size(); ++i) disk[i] = static_cast<char>('a' + i % 26);
    std::ofstream(path, std::ios::binary) << disk;
    FileReadSeek source;
    ASSERT_TRUE(source.OpenSource(path.string()));

    EntryContent content;
    content.size = 40;
    content.resident = {'R', 'S'};
    content.Add(10, RunKind::Source, 100);
    content.Add(6, RunKind::Source, 110);  // continues the run before: joined
    content.Add(4, RunKind::Hole, 0);
    content.Add(2, RunKind::Resident, 0);
    content.Add(8, RunKind::Source, 8190);  // 2 bytes before the end of the source, 6 past it
    ASSERT_EQ(content.runs.size(), 4u);
    EXPECT_EQ(content.Covered(), 30u);

    std::vector<std::uint8_t> out(50, 0xEE);
    const ContentRead read = ReadContent(&source, content, 0, out);
    EXPECT_EQ(read.bytes, 40u);  // cut at the size
    EXPECT_EQ(std::string(out.begin(), out.begin() + 16), disk.substr(100, 16));
    EXPECT_EQ(std::string(out.begin() + 16, out.begin() + 20), std::string(4, '\0'));
    EXPECT_EQ(std::string(out.begin() + 20, out.begin() + 24), std::string("RS") + disk.substr(8190, 2));
    EXPECT_EQ(std::string(out.begin() + 24, out.begin() + 40), std::string(16, '\0'));
    EXPECT_EQ(out[40], 0xEE);  // nothing written past the size
    // The run past the source and the bytes no run covers.
    EXPECT_EQ(read.unreadable, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{24, 40}}));  // to the byte

    // From the middle of a run; without a source, source runs cannot be read but resident ones can.
    std::vector<std::uint8_t> tail(4);
    EXPECT_EQ(ReadContent(&source, content, 12, tail).bytes, 4u);
    EXPECT_EQ(std::string(tail.begin(), tail.end()), disk.substr(112, 4));
    const ContentRead noSource = ReadContent(nullptr, content, 18, tail);
    EXPECT_EQ(std::string(tail.begin(), tail.end()), std::string("\0\0RS", 4));
    EXPECT_EQ(noSource.unreadable, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{}));
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace salvora
