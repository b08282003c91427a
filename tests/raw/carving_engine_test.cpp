// The carving engine on small synthetic volumes in memory: header matching, the footer queue, size fields,
// approximate sizes, skips, the tree it fills, and the structural ends of JPEG, ZIP and PDF.
#include "raw/carving_engine.h"

#include <gtest/gtest.h>

#include "raw/end_finders.h"
#include "raw_test_support.h"

namespace salvora {
namespace {

using rawtest::kMiB;
using rawtest::Put;
using rawtest::Record;

using Bytes8 = std::vector<std::uint8_t>;

struct Carving {
    explicit Carving(Bytes8 volume, std::int64_t volumeSize = -1) : reader(std::move(volume)) {
        engine.tree = &tree;
        engine.volumeSize = volumeSize >= 0 ? volumeSize : static_cast<std::int64_t>(reader.data.size());
        engine.window = VolumeWindow(&reader, 0, static_cast<std::uint64_t>(engine.volumeSize));
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> Run() {
        engine.RunCarving();
        std::vector<std::pair<std::int64_t, std::int64_t>> out;
        for (const CarvedFile& f : engine.CarvedFiles()) out.push_back({f.start, f.size});
        std::sort(out.begin(), out.end());
        return out;
    }
    rawtest::RecordingUi ui;
    rawtest::MemoryReader reader;
    ResultTree tree;
    myJpg engine;
};

using Files = std::vector<std::pair<std::int64_t, std::int64_t>>;

SignatureRecord WithSizeField(SignatureRecord r, int offset, int width, int header, bool includes) {
    r.sizeFieldOffset = offset;
    r.sizeFieldWidth = width;
    r.headerSize = header;
    r.sizeIncludesHeader = includes ? 1 : 0;
    return r;
}

TEST(RawMatch, WildcardLengthOneAndFirstRowWins) {
    myJpg engine;
    engine.AddSignature(Record("one", "41"));
    engine.AddSignature(Record("wild", "2A,42", "EE,FF"));
    engine.AddSignature(Record("also", "41,42"));
    ASSERT_TRUE(engine.PrepareMatchTable());
    ASSERT_EQ(engine.matchTable.size(), 6u);
    const Bytes8 ab{0x41, 0x42, 0, 0, 0, 0, 0, 0, 0, 0};
    const Bytes8 zb{0x99, 0x42, 0, 0, 0, 0, 0, 0, 0, 0};
    const Bytes8 a{0x41, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
    const Bytes8 footer{0xEE, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(engine.MatchSector(ab).kind, 'S');
    EXPECT_EQ(engine.MatchSector(ab).index, 1u);  // the wildcard row comes before "41,42"
    EXPECT_EQ(engine.MatchSector(zb).index, 1u);
    EXPECT_EQ(engine.MatchSector(a).kind, 0);  // a one-byte signature never matches
    EXPECT_EQ(engine.MatchSector(footer).kind, 'E');
    EXPECT_EQ(engine.MatchSector(footer).index, 1u);
    EXPECT_EQ(engine.MatchSector(Bytes8{0x41}).kind, 0);  // too few bytes to compare
}

TEST(RawCarve, TwoHeadersBeforeOneFooterAndFootersInsideSectors) {
    Bytes8 v(kMiB);
    Put(v, 0, {0xAA, 0xBB});
    Put(v, 512, {0xAA, 0xBB});
    Put(v, 1000, {0xCC, 0xDD});  // closes the older header, ends at its last byte
    Put(v, 3001, {0xCC, 0xDD});
    Put(v, 5000, {0xCC, 0xDD});  // no header waits for it
    Carving c(v);
    c.engine.AddSignature(Record("t", "AA,BB", "CC,DD"));
    EXPECT_EQ(c.Run(), (Files{{0, 1002}, {512, 3003 - 512}}));
}

TEST(RawCarve, UnreadableSectorsAreCountedAndHideOnlyWhatLiesOnThem) {
    Bytes8 v(2 * kMiB, 0);
    Put(v, 0, {0xAA, 0xBB});
    Put(v, 700, {0xCC, 0xDD});
    Put(v, kMiB + 4096, {0xAA, 0xBB});  // on a bad sector: lost
    Put(v, kMiB + 4600, {0xCC, 0xDD});
    Carving c(v);
    c.reader.bad.push_back({kMiB + 4096, 512});
    c.engine.AddSignature(Record("t", "AA,BB", "CC,DD"));
    EXPECT_EQ(c.Run(), (Files{{0, 702}}));
    EXPECT_EQ(c.engine.scannedBytes, 2 * kMiB);
    EXPECT_EQ(c.engine.unreadableBytes, 512u);
    // A source that cannot be read at all is told apart from one that holds nothing.
    Carving dead(v);
    dead.reader.bad.push_back({0, 2 * kMiB});
    dead.engine.AddSignature(Record("t", "AA,BB", "CC,DD"));
    EXPECT_TRUE(dead.Run().empty());
    EXPECT_EQ(dead.engine.unreadableBytes, dead.engine.scannedBytes);
}

TEST(RawCarve, FooterAcrossTheBlockBoundary) {
    Bytes8 v(2 * kMiB);
    Put(v, 4096, {0xAA, 0xBB});
    Put(v, kMiB - 2, {0xC1, 0xC2, 0xC3, 0xC4});
    Carving c(v);
    c.engine.AddSignature(Record("t", "AA,BB", "C1,C2,C3,C4"));
    EXPECT_EQ(c.Run(), (Files{{4096, kMiB + 2 - 4096}}));
}

TEST(RawCarve, ApproximateSizeBoundsTheFooterSearch) {
    Bytes8 v(kMiB);
    Put(v, 0, {0xAA, 0xBB});
    Put(v, 5000, {0xCC, 0xDD});  // beyond the first file's 1000 bytes and before the second header
    Put(v, 8192, {0xAA, 0xBB});
    Put(v, 9000, {0xCC, 0xDD});
    Put(v, 20480, {0xAA, 0xBB});  // its 1000 bytes are all scanned: carved at the approximate size
    Carving c(v);
    c.engine.AddSignature(Record("t", "AA,BB", "CC,DD", "Cat", 1000));
    EXPECT_EQ(c.Run(), (Files{{0, 1000}, {8192, 810}, {20480, 1000}}));
}

// A BMP header whose DIB header (40 bytes, 4 pixels wide, 24 bits) needs the rows that fill `size`.
void PutBmp(Bytes8& v, std::size_t at, std::int32_t size) {
    const auto le = [](std::uint32_t x) {
        return std::vector<std::uint8_t>{std::uint8_t(x), std::uint8_t(x >> 8), std::uint8_t(x >> 16),
                                         std::uint8_t(x >> 24)};
    };
    Put(v, at, {0x42, 0x4D});
    Put(v, at + 2, le(static_cast<std::uint32_t>(size)));
    Put(v, at + 10, le(54));
    Put(v, at + 14, le(40));
    Put(v, at + 18, le(4));
    Put(v, at + 22, le(size > 54 ? static_cast<std::uint32_t>((size - 54) / 12) : 1));
    Put(v, at + 26, {1, 0, 24, 0});
}

TEST(RawCarve, SizeFieldDecidesAndBadSizesCarveNothing) {
    Bytes8 v(kMiB);
    PutBmp(v, 0, 0);
    PutBmp(v, 512, -5);
    PutBmp(v, 1024, 200000);  // more than the approximate size
    PutBmp(v, 2048, 1500);
    PutBmp(v, 2560, 100);         // inside the file before it: a file of its own
    PutBmp(v, 3584, 600);         // the first sector after it
    PutBmp(v, kMiB - 512, 4000);  // would run past the volume
    // A stale file header claiming 50,000 bytes with no DIB header behind it hides nothing.
    Put(v, 8192, {0x42, 0x4D, 0x50, 0xC3, 0x00, 0x00});
    PutBmp(v, 8704, 700);
    // Width, height and depth that need more pixels than the size holds.
    PutBmp(v, 10240, 900);
    Put(v, 10240 + 18, {64, 0, 0, 0});
    Carving c(v);
    c.engine.AddSignature(WithSizeField(Record("bmp", "42,4D", "", "Pics", 100000), 2, 4, 0, true));
    EXPECT_EQ(c.Run(), (Files{{2048, 1500}, {2560, 100}, {3584, 600}, {8704, 700}}));
}

TEST(RawCarve, SizeFieldWithoutHeaderAddsTheHeaderSize) {
    Bytes8 v(kMiB);
    // WAVE: "fmt " of 16 bytes, then "data" up to the stated size.
    Put(v, 0, {'R', 'I', 'F', 'F', 0xE8, 0x03, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0});
    Put(v, 36, {'d', 'a', 't', 'a', 0xC4, 0x03, 0, 0});
    Put(v, 1536, {'R', 'I', 'F', 'F', 0xFF, 0xFF, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0});
    Put(v, 1536 + 36, {'d', 'a', 't', 'a', 0xDB, 0xFF, 0, 0});
    // A RIFF header whose first chunk is not one.
    Put(v, 4096, {'R', 'I', 'F', 'F', 0xFF, 0xFF, 0, 0, 'W', 'A', 'V', 'E', 0, 1, 2, 3});
    Carving c(v);
    c.engine.AddSignature(
        WithSizeField(Record("wav", "52,49,46,46,2A,2A,2A,2A,57,41", "", "Audio", 70000), 4, 4, 8, false));
    c.engine.fileTypeTable[0].approxSize = 70000;
    EXPECT_EQ(c.Run(), (Files{{0, 1008}, {1536, 65543}}));
}

TEST(RawCarve, VolumeUnderOneMiBIsNotScanned) {
    Bytes8 v(kMiB - 512);
    Put(v, 0, {0xAA, 0xBB});
    Carving c(v);
    c.engine.AddSignature(Record("t", "AA,BB", "", "Cat", 100));
    EXPECT_TRUE(c.Run().empty());
    EXPECT_EQ(c.ui.messages.back(), "Scanning processing done.Select save button to save the data..");
    EXPECT_EQ(c.ui.ranges, (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 1000}, {0, 0}}));
}

TEST(RawCarve, SkipStaysInsideItsBlock) {
    Bytes8 v(2 * kMiB);
    Put(v, 0, {0xAA, 0xBB});
    Put(v, 512, {0xAA, 0xBB});   // inside the skip
    Put(v, 4096, {0xAA, 0xBB});  // where the skip lands
    Put(v, kMiB - 1024, {0xAA, 0xBB});
    Put(v, kMiB, {0xAA, 0xBB});  // the skip passed the block end: the next block is scanned from its start
    Carving c(v);
    SignatureRecord r = Record("t", "AA,BB", "", "Cat", 100);
    r.skipBytes = 4096 + 100;
    c.engine.AddSignature(r);
    EXPECT_EQ(c.Run(), (Files{{0, 100}, {4096, 100}, {kMiB - 1024, 100}, {kMiB, 100}}));
}

// The scan tests each sector's first ten bytes at once and reuses the answer for a sector that starts like
// the one before: the ninth and tenth bytes, wildcards there, the first row's precedence and equal neighbours
// must all still count.
TEST(RawCarve, EveryByteOfTheSectorStartDecidesInTheScan) {
    Bytes8 v(kMiB);
    const Bytes8 eight{1, 2, 3, 4, 5, 6, 7, 8};
    auto sector = [&](std::size_t at, Bytes8 head, Bytes8 tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        Put(v, at, head);
    };
    sector(0, {0xAA, 0xBB, 0xCC}, {});  // both A rows fit: the first one is taken
    sector(512, eight, {0xFF, 0x0A});
    sector(1024, eight, {0xFF, 0x0B});  // differs from the sector before in its tenth byte only
    sector(1536, eight, {0x00, 0x0A});
    sector(2048, eight, {0x00, 0x0A});  // the same start again
    sector(2560, {1, 2, 3, 4, 5, 6, 7, 9}, {0xFF, 0x0A});
    sector(3072, {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18}, {0x19, 0x77});
    sector(3584, {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18}, {0x1A, 0x77});
    Carving c(v);
    c.engine.AddSignature(Record("a", "AA,2A,CC", "", "Cat", 10));
    c.engine.AddSignature(Record("b", "AA,BB,CC", "", "Cat", 20));
    c.engine.AddSignature(Record("ten", "01,02,03,04,05,06,07,08,2A,0A", "", "Cat", 30));
    c.engine.AddSignature(Record("nine", "11,12,13,14,15,16,17,18,19", "", "Cat", 40));
    EXPECT_EQ(c.Run(), (Files{{0, 10}, {512, 30}, {1536, 30}, {2048, 30}, {3072, 40}}));
}

TEST(RawCarve, TreeGroupsCategoriesInOrderAndCounts) {
    Bytes8 v(kMiB);
    Put(v, 0, {0xA1, 0xA1});
    Put(v, 512, {0xB2, 0xB2});
    Put(v, 1024, {0xC3, 0xC3});
    Put(v, 1536, {0xA1, 0xA1});
    Carving c(v);
    c.engine.AddSignature(Record("aa", "A1,A1", "", "A", 10));
    c.engine.AddSignature(Record("bb", "B2,B2", "", "B", 10));
    c.engine.AddSignature(Record("cc", "C3,C3", "", "A", 10));
    c.Run();
    const ItemId root = c.tree.Root();
    EXPECT_EQ(c.tree.Item(root).text, "RAW RECOVERY ");
    EXPECT_TRUE(c.tree.Item(root).expanded);
    const auto categories = c.tree.Children(root);
    ASSERT_EQ(categories.size(), 2u);
    EXPECT_EQ(c.tree.Item(categories[0]).text, "A (3)");
    EXPECT_EQ(c.tree.Item(categories[1]).text, "B (1)");
    const auto files = c.tree.Children(categories[0]);
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(c.tree.Item(files[0]).text, "0 .aa");
    EXPECT_EQ(c.tree.Item(files[1]).text, "1024 .cc");
    EXPECT_EQ(c.tree.Item(files[1]).extension, "cc");
    EXPECT_EQ(c.engine.CarvedName(*c.tree.Item(files[2]).entry), "1536 .aa");
    EXPECT_EQ(c.engine.categorySet.at("A"), 3);
    EXPECT_EQ(c.engine.CarvedCategory(1), "B");

    // A second run appends to the same tree: no second root, no second category item.
    c.engine.RunCarving();
    EXPECT_EQ(c.tree.TopLevel().size(), 1u);
    EXPECT_EQ(c.tree.Children(root).size(), 2u);
    EXPECT_EQ(c.tree.Item(categories[0]).text, "A (6)");
}

TEST(RawCarve, StopBeforeTheFirstBlockCarvesNothing) {
    Bytes8 v(kMiB);
    Put(v, 0, {0xAA, 0xBB});
    Carving c(v);
    c.engine.AddSignature(Record("t", "AA,BB", "", "Cat", 10));
    c.engine.stopRequested = true;
    EXPECT_TRUE(c.Run().empty());
    for (const std::string& m : c.ui.messages) EXPECT_EQ(m.find("processing done"), std::string::npos) << m;
}

TEST(RawCarve, BlocksPastTheSourceAreNotTheLastBlockAgain) {
    Bytes8 v(kMiB);
    Put(v, 512, {0xAA, 0xBB});
    Carving c(v, 3 * kMiB);
    c.engine.AddSignature(Record("t", "AA,BB", "", "Cat", 10));
    EXPECT_EQ(c.Run(), (Files{{512, 10}}));
    EXPECT_EQ(c.ui.positions, (std::vector<std::int64_t>{0, 1, 2}));
}

// A JPEG whose EXIF block holds a thumbnail with its own end-of-image marker; padding adds a comment segment.
Bytes8 JpegWithThumbnail(std::size_t padding = 0) {
    Bytes8 thumb{0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x04, 0x01, 0x02, 0xFF, 0xDA, 0x00, 0x02, 0x55, 0xFF, 0xD9};
    Bytes8 app1{'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), thumb.begin(), thumb.end());
    Bytes8 j{0xFF, 0xD8, 0xFF, 0xE1};
    const std::size_t len = app1.size() + 2;
    j.push_back(std::uint8_t(len >> 8));
    j.push_back(std::uint8_t(len));
    j.insert(j.end(), app1.begin(), app1.end());
    if (padding > 0) {
        j.insert(j.end(), {0xFF, 0xFE, std::uint8_t((padding + 2) >> 8), std::uint8_t(padding + 2)});
        j.insert(j.end(), padding, 0xD9);
    }
    for (std::uint8_t code : {0xDB, 0xC0, 0xC4}) {  // tables and frame header, 5 payload bytes each
        Bytes8 seg{0xFF, code, 0x00, 0x07, 1, 2, 3, 4, 5};
        j.insert(j.end(), seg.begin(), seg.end());
    }
    Bytes8 scan{0xFF, 0xDA, 0x00, 0x04, 0x01, 0x00,        // start of scan
                0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0, 0x56,  // stuffed byte and a restart marker
                0xFF, 0xFF, 0xD9};                         // fill byte, then the end of image
    j.insert(j.end(), scan.begin(), scan.end());
    return j;
}

TEST(RawStructure, JpegEndsAfterItsScanNotAtTheThumbnail) {
    const Bytes8 jpeg = JpegWithThumbnail();
    const Bytes8 padded = JpegWithThumbnail(1000);
    Bytes8 v(2 * kMiB);
    Put(v, 0, jpeg);
    Put(v, jpeg.size() + 10, {0xFF, 0xD9});  // trailing bytes of another file
    Put(v, 3007, jpeg);                      // not at a sector start: not a header
    Put(v, kMiB - 512, padded);              // runs across the block boundary
    Carving c(v);
    c.engine.AddSignature(Record("jpg", "FF,D8,FF", "FF,D9", "Pictures", 10 * kMiB));
    EXPECT_EQ(c.Run(), (Files{{0, static_cast<std::int64_t>(jpeg.size())},
                              {kMiB - 512, static_cast<std::int64_t>(padded.size())}}));
}

TEST(RawStructure, BrokenJpegFallsBackToItsFooter) {
    Bytes8 v(kMiB);
    Put(v, 0, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01, 0x77, 0xFF, 0xD9});  // a segment length below 2
    Carving c(v);
    c.engine.AddSignature(Record("jpg", "FF,D8,FF", "FF,D9", "Pictures", 10 * kMiB));
    EXPECT_EQ(c.Run(), (Files{{0, 9}}));
}

Bytes8 Le32(std::uint32_t v) {
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}

TEST(RawStructure, ZipEndsAtItsOwnEndOfCentralDirectoryAndComment) {
    Bytes8 zip{'P', 'K', 3, 4};
    zip.resize(300, 0x11);
    // A stored inner archive: its directory offsets count from its own start, so its record is not ours.
    Bytes8 inner{'P', 'K', 5, 6, 0, 0, 0, 0, 1, 0, 1, 0};
    for (auto b : Le32(40)) inner.push_back(b);
    for (auto b : Le32(0)) inner.push_back(b);
    inner.push_back(0);
    inner.push_back(0);
    Put(zip, 100, inner);
    const std::uint32_t directoryAt = 300, directoryBytes = 46;
    Bytes8 directory{'P', 'K', 1, 2};
    directory.resize(directoryBytes, 0x22);
    zip.insert(zip.end(), directory.begin(), directory.end());
    Bytes8 eocd{'P', 'K', 5, 6, 0, 0, 0, 0, 1, 0, 1, 0};
    for (auto b : Le32(directoryBytes)) eocd.push_back(b);
    for (auto b : Le32(directoryAt)) eocd.push_back(b);
    eocd.push_back(5);
    eocd.push_back(0);
    for (char ch : std::string("hello")) eocd.push_back(static_cast<std::uint8_t>(ch));
    zip.insert(zip.end(), eocd.begin(), eocd.end());

    Bytes8 v(kMiB);
    Put(v, 1024, zip);
    Put(v, 1024 + zip.size(), {'P', 'K', 5, 6});  // what follows the archive
    Carving c(v);
    c.engine.AddSignature(Record("docx", "50,4B,03,04", "50,4B,05,06", "Documents", 10 * kMiB));
    EXPECT_EQ(c.Run(), (Files{{1024, static_cast<std::int64_t>(zip.size())}}));
}

TEST(RawStructure, PdfEndsAfterTheLineBreakOfItsLastEof) {
    const std::string first = "%PDF-1.4\nbody\n%%EOF\n5 0 obj\n<<>>\nendobj\n%%EOF\r\n";
    const std::string second = "%PDF-1.7\nother\n%%EOF";
    Bytes8 v(2 * kMiB);
    Put(v, 0, Bytes8(first.begin(), first.end()));
    Put(v, 4096,
        Bytes8(second.begin(), second.end()));  // the next PDF: the first one's %%EOF search ends here
    const std::string stray = "xx%%EOF\n";
    Put(v, 4096 + 600, Bytes8(stray.begin(), stray.end()));  // beyond the second's approximate size
    Carving c(v);
    c.engine.AddSignature(Record("pdf", "25,50,44,46,2D", "25,25,45,4F,46", "Documents", 500));
    EXPECT_EQ(c.Run(), (Files{{0, static_cast<std::int64_t>(first.size())},
                              {4096, static_cast<std::int64_t>(second.size())}}));
}

TEST(RawStructure, PdfEndsAtAnEofThatNoUpdateFollows) {
    const std::string pdf = "%PDF-1.4\n%%EOF\n  xref\n0 1\ntrailer\n%%EOF\nslack of another file %%EOF\n";
    Bytes8 v(kMiB);
    Put(v, 0, Bytes8(pdf.begin(), pdf.end()));
    Carving c(v);
    c.engine.AddSignature(Record("pdf", "25,50,44,46,2D", "25,25,45,4F,46", "Documents", 10000));
    EXPECT_EQ(c.Run(), (Files{{0, static_cast<std::int64_t>(pdf.find("slack"))}}));
}

TEST(RawStructure, PdfWithoutApproximateSizeTakesItsFirstEof) {
    const std::string pdf = "%PDF-1.4\n%%EOF\nmore\n%%EOF\n";
    Bytes8 v(kMiB);
    Put(v, 0, Bytes8(pdf.begin(), pdf.end()));
    Carving c(v);
    c.engine.AddSignature(Record("pdf", "25,50,44,46,2D", "25,25,45,4F,46", "Documents", 0));
    EXPECT_EQ(c.Run(), (Files{{0, 15}}));
}

TEST(RawStructure, FindPatternHonoursWildcardsAndBounds) {
    const Bytes8 data{1, 2, 3, 0x10, 0x99, 0x30, 4, 0x10, 0x77, 0x30};
    const Window w{data.data(), 100, 100, 110};
    const Bytes8 pattern{0x10, 0x2A, 0x30};
    EXPECT_EQ(FindPattern(w, 0, 200, pattern), 103);
    EXPECT_EQ(FindPattern(w, 104, 200, pattern), 107);
    EXPECT_EQ(FindPattern(w, 104, 109, pattern), -1);
    EXPECT_EQ(FindPattern(w, 0, 200, Bytes8{0x10}), -1);
    EXPECT_EQ(FindPattern(w, 105, 200, Bytes8{0x2A, 0x2A}), 105);
}

}  // namespace
}  // namespace salvora
