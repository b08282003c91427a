// Recycle Bin renaming: $I index files of version 1 and 2 give $R files their former names. Fake parser; the
// index files pass through a temporary folder.
#include "scan/recycle_bin.h"

#include <gtest/gtest.h>

#include "scan/fake_parser.h"

namespace salvora {
namespace {

using test::FakeParser;

void PutU16(std::string& out, const std::u16string& text) {
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
}

std::string Le(std::uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(i < 8 ? (value >> (8 * i)) & 0xFF : 0);
    return out;
}

// Version 1: fixed 520-byte path field at 24.
std::string IndexV1(const std::u16string& path) {
    std::string data = Le(1, 8) + Le(12345, 8) + Le(0x01D9000000000000, 8);
    PutU16(data, path);
    data.resize(24 + 520, '\0');
    return data;
}

// Version 2: character count (with the NUL) at 24, the path at 28.
std::string IndexV2(const std::u16string& path) {
    std::string data = Le(2, 8) + Le(12345, 8) + Le(0x01D9000000000000, 8) + Le(path.size() + 1, 4);
    PutU16(data, path);
    PutU16(data, std::u16string(1, u'\0'));
    return data;
}

std::optional<std::string> Decode(const std::string& data) {
    return RecycleIndexFormerPath(Bytes(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
}

TEST(RecycleBin, IndexFilesAreReadByTheirVersion) {
    EXPECT_EQ(Decode(IndexV1(u"C:\\Users\\ann\\report.docx")), "C:\\Users\\ann\\report.docx");
    EXPECT_EQ(Decode(IndexV2(u"D:\\Fotos\\Stra\u00DFe.jpg")),
              "D:\\Fotos\\Stra\xC3\x9F"
              "e.jpg");
    // A lone surrogate is replaced, not dropped; an emoji pair is kept.
    EXPECT_EQ(Decode(IndexV2(std::u16string(u"a") + char16_t(0xD800) + u"b\U0001F600")),
              "a\xEF\xBF\xBD"
              "b\xF0\x9F\x98\x80");
    EXPECT_FALSE(Decode(Le(3, 8) + std::string(40, 'A')));           // unknown version
    EXPECT_FALSE(Decode(Le(2, 8) + Le(0, 16) + Le(0xFFFFFFFF, 4)));  // count past the end: no path
    std::string truncated = Le(2, 8) + Le(0, 16) + Le(0xFFFFFFFF, 4);
    PutU16(truncated, u"x.txt");  // no NUL, count too large
    EXPECT_EQ(Decode(truncated), "x.txt");
    EXPECT_FALSE(Decode(Le(1, 8)));
}

TEST(RecycleBin, ContentFilesTakeTheirFormerNames) {
    FakeParser parser;
    const EntryId bin = parser.Folder(0, "$RECYCLE.BIN");
    const EntryId user = parser.Folder(bin, "S-1-5-21-1-1001");
    parser.File(user, "desktop.ini", "[.ShellClassInfo]");
    parser.File(user, "$IAB12CD.jpg", IndexV2(u"C:\\Users\\ann\\Pictures\\holiday.jpg"));
    const EntryId r1 = parser.File(user, "$RAB12CD.jpg ", "jpeg bytes");  // right-trimmed before comparing
    parser.File(user, "$IXY98ZZ.txt", IndexV1(u"C:\\old\\notes.txt"));
    const EntryId r2 = parser.Folder(user, "$RXY98ZZ.txt");
    parser.File(user, "$IBAD000.doc", Le(7, 8) + std::string(600, 'z'));
    const EntryId r3 = parser.File(user, "$RBAD000.doc");
    parser.File(user, "$IHUGE00.doc", IndexV2(u"C:\\big.doc") + std::string(2100, '\0'));  // over 2,047 bytes
    const EntryId r4 = parser.File(user, "$RHUGE00.doc");
    // Only first-level folders of exactly these names count.
    const EntryId other = parser.Folder(0, "$recycle.bin");
    const EntryId otherUser = parser.Folder(other, "S-1");
    parser.File(otherUser, "$IQQ.txt", IndexV2(u"C:\\q.txt"));
    const EntryId r5 = parser.File(otherUser, "$RQQ.txt");

    ResultTree tree;
    parser.FillTop(tree);
    RenameRecycledFiles(tree, parser);
    EXPECT_EQ(parser.EntryName(r1), "holiday.jpg");
    EXPECT_EQ(parser.EntryName(r2), "notes.txt");
    EXPECT_EQ(parser.EntryName(r3), "$RBAD000.doc");
    EXPECT_EQ(parser.EntryName(r4), "$RHUGE00.doc");
    EXPECT_EQ(parser.EntryName(r5), "$RQQ.txt");
    // Read where they lie: no index file is written anywhere.
    EXPECT_TRUE(parser.extracted.empty());
}

}  // namespace
}  // namespace salvora
