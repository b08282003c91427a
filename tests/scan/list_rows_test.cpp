// Lazy children of the result tree and the file list rows, over the in-memory fake parser.
#include "scan/list_rows.h"

#include <gtest/gtest.h>

#include "scan/fake_parser.h"

namespace salvora {
namespace {

using test::FakeParser;

std::vector<std::string> TextsOf(const ResultTree& tree, const std::vector<ItemId>& items) {
    std::vector<std::string> out;
    for (ItemId i : items) out.push_back(tree.Item(i).text);
    return out;
}

TEST(ListRows, PlaceholdersOnlyOnFirstLevelFoldersWithChildrenAndFillHappensOnce) {
    FakeParser parser;
    const EntryId dcim = parser.Folder(0, "DCIM");
    const EntryId sub = parser.Folder(dcim, "100CANON");
    parser.File(sub, "IMG_1.JPG");
    parser.File(dcim, "notes.txt");
    parser.Folder(dcim, "EMPTYSUB");
    parser.Folder(0, "EMPTY");
    parser.File(0, "top.txt");
    ResultTree tree;
    const ItemId root = parser.FillTop(tree);
    PlaceFirstLevelPlaceholders(tree, parser);

    const auto top = tree.Children(root);
    ASSERT_EQ(TextsOf(tree, top), (std::vector<std::string>{"DCIM", "EMPTY", "top.txt"}));
    EXPECT_TRUE(tree.IsPlaceholder(tree.FirstChild(top[0])));
    EXPECT_TRUE(tree.Children(top[1]).empty());  // no expand button for an empty folder
    EXPECT_TRUE(tree.Children(top[2]).empty());

    FillFolderChildren(tree, parser, top[0]);
    FillFolderChildren(tree, parser, top[0]);
    const auto kids = tree.Children(top[0]);
    ASSERT_EQ(TextsOf(tree, kids), (std::vector<std::string>{"100CANON", "notes.txt", "EMPTYSUB"}));
    EXPECT_TRUE(tree.IsPlaceholder(tree.FirstChild(kids[0])));
    EXPECT_TRUE(tree.Children(kids[2]).empty());
    EXPECT_EQ(tree.Item(kids[0]).entry, sub);

    // The list shows files only, with every column; a folder of only folders shows nothing.
    const auto rows = ShowFolderFiles(tree, parser, top[0]);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].path, "notes.txt");
    EXPECT_EQ(rows[0].created, "c:notes.txt");
    EXPECT_EQ(rows[0].accessed, "a:notes.txt");
    EXPECT_EQ(rows[0].modified, "m:notes.txt");
    EXPECT_EQ(rows[0].size, "1 Bytes");
    EXPECT_EQ(rows[0].attributes, "-A");
    EXPECT_EQ(rows[0].item, kids[1]);
    EXPECT_TRUE(ShowFolderFiles(tree, parser, top[1]).empty());

    // A file item lists itself; the placeholder lists nothing.
    const auto one = ShowFolderFiles(tree, parser, top[2]);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].path, "top.txt");
    EXPECT_TRUE(ShowFolderFiles(tree, parser, tree.FirstChild(kids[0])).empty());
}

TEST(ListRows, DeletedChildrenAndFilesOfDeletedFoldersAreColoured) {
    FakeParser parser;
    const EntryId gone = parser.Folder(0, "GONE", true);
    parser.File(gone, "live-looking.txt");
    parser.Folder(gone, "livesub");
    const EntryId live = parser.Folder(0, "LIVE");
    parser.File(live,
                "\xEF\xBF\xA5"
                "ELETED.TXT",
                "d", true);
    parser.File(live, "kept.txt");
    ResultTree tree;
    const ItemId root = parser.FillTop(tree);
    PlaceFirstLevelPlaceholders(tree, parser);
    const auto top = tree.Children(root);
    EXPECT_EQ(tree.Item(top[0]).textColour, kDeletedColour);

    FillFolderChildren(tree, parser, top[0]);
    const auto goneKids = tree.Children(top[0]);
    EXPECT_EQ(tree.Item(goneKids[0]).textColour, kDeletedColour);
    EXPECT_FALSE(tree.Item(goneKids[1]).textColour);  // a live folder keeps its own colour

    FillFolderChildren(tree, parser, top[1]);
    const auto liveKids = tree.Children(top[1]);
    EXPECT_EQ(tree.Item(liveKids[0]).textColour, kDeletedColour);
    EXPECT_FALSE(tree.Item(liveKids[1]).textColour);
}

TEST(ListRows, ChildrenOfCheckedFolderArriveChecked) {
    FakeParser parser;
    const EntryId dir = parser.Folder(0, "DIR");
    parser.File(dir, "a");
    ResultTree tree;
    const ItemId root = parser.FillTop(tree);
    PlaceFirstLevelPlaceholders(tree, parser);
    const ItemId dirItem = tree.Children(root)[0];
    tree.SetCheck(dirItem, true);
    FillFolderChildren(tree, parser, dirItem);
    EXPECT_EQ(tree.Check(tree.FirstChild(dirItem)), CheckState::Checked);
    EXPECT_EQ(tree.CheckedRoots(), std::vector<ItemId>{root});
}

}  // namespace
}  // namespace salvora
