// The results page's filter and preview in the core, over the in-memory fake parser.
#include "scan/triage.h"

#include <gtest/gtest.h>

#include "scan/fake_parser.h"
#include "scan/list_rows.h"

namespace salvora {
namespace {

using test::FakeParser;

std::vector<std::string> PathsOf(const TriageMatches& m) {
    std::vector<std::string> out;
    for (const TriageMatch& f : m.files) out.push_back(f.path);
    return out;
}

using Show = TriageFilterInput::Show;

TriageFilterInput In(std::string text, Show show = Show::All, std::string minSize = {}, std::string kind = {},
                     std::string verdict = {}) {
    return {std::move(text), show, std::move(minSize), std::move(kind), std::move(verdict)};
}

TriageFilter Filter(TriageFilterInput input) {
    std::string problem;
    auto f = MakeTriageFilter(input, problem);
    EXPECT_TRUE(f) << problem;
    return f ? *f : TriageFilter{};
}

TEST(Triage, FilterTextIsAGlobOrANamePart) {
    EXPECT_EQ(FilterTextGlob(""), "");
    EXPECT_EQ(FilterTextGlob("IMG"), "**/*IMG*");
    EXPECT_EQ(FilterTextGlob("*.jpg"), "**/*.jpg");
    EXPECT_EQ(FilterTextGlob("/DCIM/**"), "/DCIM/**");
    EXPECT_EQ(FilterTextGlob("a?.txt"), "**/a?.txt");
    EXPECT_EQ(FilterTextGlob("/*.jpg"), "/*.jpg");  // a path glob: the root's only
    // The name part matches in any folder, as the CLI's --select "**/*IMG*" does.
    EXPECT_TRUE(GlobMatch(FilterTextGlob("img"), "/DCIM/100/IMG_0003.JPG"));
    EXPECT_FALSE(GlobMatch(FilterTextGlob("IMG"), "/IMGS/a.txt"));

    std::string problem;
    EXPECT_FALSE(MakeTriageFilter(In("", Show::All, "ten"), problem));
    EXPECT_NE(problem.find("ten"), std::string::npos);
    EXPECT_FALSE(MakeTriageFilter(In("", Show::All, "", "spreadsheet"), problem));
    EXPECT_FALSE(MakeTriageFilter(In("", Show::All, "", "", "fine"), problem));
    EXPECT_TRUE(Filter(In("")).Empty());
    EXPECT_EQ(Filter(In("", Show::All, "2K")).selection.minSize, 2048u);
}

TEST(Triage, MatchesWalkEveryFolderAndRevealTheirTreeItems) {
    FakeParser parser;
    const EntryId dcim = parser.Folder(0, "DCIM");
    const EntryId hundred = parser.Folder(dcim, "100");
    const EntryId gone = parser.File(hundred, "a.jpg", std::string(3000, 'j'), true);
    parser.File(hundred, "b.jpg", std::string(3000, 'j'));
    parser.File(hundred, "small.jpg", "j", true);
    const EntryId notes = parser.File(0, "notes.txt", "text", true);
    parser.Folder(0, "jpg folder");
    ResultTree tree;
    const ItemId root = parser.FillTop(tree);
    PlaceFirstLevelPlaceholders(tree, parser);
    const std::atomic<bool> never{false};

    const TriageMatches jpgs = FindMatches(parser, Filter(In("*.jpg")), 0, "", never);
    EXPECT_EQ(PathsOf(jpgs), (std::vector<std::string>{"/DCIM/100/a.jpg", "/DCIM/100/b.jpg", "/DCIM/100/small.jpg"}));
    const TriageMatches deletedBig = FindMatches(
        parser, Filter(In("*.jpg", Show::Deleted, "1K")), 0, "", never);
    ASSERT_EQ(PathsOf(deletedBig), (std::vector<std::string>{"/DCIM/100/a.jpg"}));
    EXPECT_FALSE(deletedBig.files[0].verdict);  // judged only when asked

    // Deleted content without allocation data is unknown, live content intact.
    const TriageMatches unknown = FindMatches(parser, Filter(In("", Show::All, "", "", "unknown")), 0, "", never);
    EXPECT_EQ(PathsOf(unknown), (std::vector<std::string>{"/DCIM/100/a.jpg", "/DCIM/100/small.jpg", "/notes.txt"}));
    EXPECT_EQ(unknown.files[0].verdict->verdict, Verdict::Unknown);
    EXPECT_EQ(PathsOf(FindMatches(parser, Filter(In("", Show::All, "", "", "intact")), 0, "", never)),
              (std::vector<std::string>{"/DCIM/100/b.jpg"}));

    // Begun at a folder: its path leads every match.
    EXPECT_EQ(PathsOf(FindMatches(parser, Filter(In("a.")), hundred, "/DCIM/100", never)),
              (std::vector<std::string>{"/DCIM/100/a.jpg"}));
    const std::atomic<bool> stopped{true};
    EXPECT_TRUE(FindMatches(parser, Filter(In("")), 0, "", stopped).stopped);

    // The items: folders filled on the way (once), each match found by its entry.
    std::vector<ItemId> folders;
    const ItemId a = RevealMatch(tree, parser, deletedBig, 0, root, folders);
    ASSERT_NE(a, kNoItem);
    EXPECT_EQ(tree.Item(a).entry, gone);
    EXPECT_EQ(tree.Item(tree.Item(a).parent).text, "100");
    const std::size_t size = tree.Size();
    std::vector<ItemId> again;
    const TriageMatches all = FindMatches(parser, Filter(In("")), 0, "", never);
    for (std::size_t i = 0; i < all.files.size(); ++i) {
        const ItemId item = RevealMatch(tree, parser, all, i, root, again);
        ASSERT_NE(item, kNoItem) << all.files[i].path;
        EXPECT_EQ(tree.Item(item).entry, all.files[i].entry);
    }
    EXPECT_EQ(tree.Size(), size);
    EXPECT_EQ(tree.Item(RevealMatch(tree, parser, all, all.files.size() - 1, root, again)).entry, notes);
}

TEST(Triage, PreviewKindsAndText) {
    EXPECT_TRUE(LooksLikeText("plain\ttext\r\n"));
    EXPECT_TRUE(LooksLikeText("Caf\xC3\xA9 \xE6\x97\xA5"));
    EXPECT_TRUE(LooksLikeText("cut at the cap \xE6\x97"));
    EXPECT_FALSE(LooksLikeText(std::string("nul\0byte", 8)));
    EXPECT_FALSE(LooksLikeText("latin-1 caf\xE9 here"));
    EXPECT_FALSE(LooksLikeText("overlong \xC0\xAF"));
    EXPECT_FALSE(LooksLikeText("surrogate \xED\xA0\x80"));

    EXPECT_EQ(PreviewKindFor("a.JPG", ""), PreviewKind::Picture);
    EXPECT_EQ(PreviewKindFor("notes.TXT", "\x01\x02"), PreviewKind::Text);
    EXPECT_EQ(PreviewKindFor("FILE0001.CHK", "\x89PNG\r\n\x1A\n...."), PreviewKind::Picture);
    EXPECT_EQ(PreviewKindFor("x.dat", "RIFF....WEBPVP8 "), PreviewKind::Picture);
    EXPECT_EQ(PreviewKindFor("readme", "hello"), PreviewKind::Text);
    EXPECT_EQ(PreviewKindFor("x.bin", std::string("\0\1\2", 3)), PreviewKind::Hex);
    EXPECT_EQ(PreviewKindFor("empty.bin", ""), PreviewKind::Hex);

    const auto bytes = [](std::string_view s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
    using namespace std::string_view_literals;
    EXPECT_FALSE(PictureLooksCut(bytes("\xFF\xD8\xFF\xE0....\xFF\xD9\0\0\0"sv)));
    EXPECT_TRUE(PictureLooksCut(bytes("\xFF\xD8\xFF\xE0......"sv)));
    EXPECT_TRUE(PictureLooksCut(bytes("\xFF\xD8\xFF\xE1 thumb \xFF\xD9 main image cut"sv)));
    EXPECT_TRUE(PictureLooksCut(bytes("\x89PNG\r\n\x1A\n....IDAT"sv)));
    EXPECT_FALSE(PictureLooksCut(bytes("\x89PNG\r\n\x1A\n....IEND\xAE\x42\x60\x82"sv)));
    EXPECT_FALSE(PictureLooksCut(bytes("GIF89a...."sv)));  // no end mark to look for

    // A short last line keeps the text column where full lines have it.
    const std::string dump = HexDump(std::vector<std::uint8_t>(20, 'A'));
    const auto second = dump.find('\n') + 1;
    EXPECT_EQ(dump.substr(0, 10), "00000000  ");
    EXPECT_EQ(dump.substr(second, 14), "00000010  41 4");
    EXPECT_EQ(dump.find('|'), dump.find('|', second) - second);
    EXPECT_EQ(dump.substr(dump.find('|', second)), "|AAAA|\n");
    EXPECT_EQ(HexDump({'H', 'i', 0, 0xFF}).substr(dump.find('|')), "|Hi..|\n");
}

TEST(Triage, PreviewReadsUpToItsKindsCap) {
    FakeParser parser;
    const std::atomic<bool> never{false};
    const EntryId text = parser.File(0, "big.txt", std::string(100 << 10, 'x'));
    const EntryId fake = parser.File(0, "fake.txt", std::string(10, '\0'));
    const EntryId binary = parser.File(0, "blob.bin", std::string(10000, '\x01'));
    const EntryId folder = parser.Folder(0, "d");

    const Preview t = ReadPreview(parser, text, never);
    EXPECT_EQ(t.kind, PreviewKind::Text);
    EXPECT_EQ(t.bytes.size(), kPreviewTextBytes);
    EXPECT_EQ(t.size, 100u << 10);
    EXPECT_EQ(ReadPreview(parser, fake, never).kind, PreviewKind::Hex);
    const Preview b = ReadPreview(parser, binary, never);
    EXPECT_EQ(b.kind, PreviewKind::Hex);
    EXPECT_EQ(b.bytes.size(), kPreviewHexBytes);
    EXPECT_EQ(ReadPreview(parser, folder, never).kind, PreviewKind::None);
}

}  // namespace
}  // namespace salvora
