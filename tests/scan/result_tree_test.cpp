// The result tree model: tri-state checks, lazy placeholders and what a checked save starts from. No I/O.
#include <gtest/gtest.h>

#include "model/result_tree.h"

namespace salvora {
namespace {

TEST(ResultTree, CheckingFolderChecksDescendantsAndParentsBecomePartialThenFull) {
    ResultTree tree;
    const ItemId root = tree.InsertItem(kNoItem, "ROOT", true, 0);
    const ItemId a = tree.InsertItem(root, "a", true, 1);
    const ItemId a1 = tree.InsertItem(a, "a1.jpg", false, 2);
    const ItemId a2 = tree.InsertItem(a, "a2.jpg", false, 3);
    const ItemId b = tree.InsertItem(root, "b.txt", false, 4);

    tree.SetCheck(a, true);
    EXPECT_EQ(tree.Check(a1), CheckState::Checked);
    EXPECT_EQ(tree.Check(a2), CheckState::Checked);
    EXPECT_EQ(tree.Check(root), CheckState::Partial);

    tree.SetCheck(b, true);
    EXPECT_EQ(tree.Check(root), CheckState::Checked);
    EXPECT_EQ(tree.CheckedRoots(), std::vector<ItemId>{root});

    tree.SetCheck(a1, false);
    EXPECT_EQ(tree.Check(a), CheckState::Partial);
    EXPECT_EQ(tree.Check(root), CheckState::Partial);
    EXPECT_EQ(tree.CheckedRoots(), (std::vector<ItemId>{a2, b}));

    tree.SetCheck(root, false);
    EXPECT_EQ(tree.Check(a2), CheckState::Unchecked);
    EXPECT_TRUE(tree.CheckedRoots().empty());
}

TEST(ResultTree, LazyChildrenOfCheckedFolderStartCheckedAndPlaceholderGoes) {
    ResultTree tree;
    const ItemId root = tree.InsertItem(kNoItem, "ROOT", true, 0);
    const ItemId dir = tree.InsertItem(root, "DCIM", true, 1);
    tree.InsertPlaceholder(dir);
    const ItemId placeholder = tree.FirstChild(dir);
    EXPECT_TRUE(tree.IsPlaceholder(placeholder));
    EXPECT_EQ(tree.Item(placeholder).text, "..DUMY..");

    tree.SetCheck(dir, true);
    tree.DeleteItem(placeholder);
    EXPECT_FALSE(tree.Valid(placeholder));
    const ItemId photo = tree.InsertItem(dir, "IMG_0001.JPG", false, 2);
    EXPECT_EQ(tree.Check(photo), CheckState::Checked);
    EXPECT_EQ(tree.Item(photo).extension, "jpg");
    EXPECT_EQ(tree.Children(dir), std::vector<ItemId>{photo});

    // The rule holds upward too: anything added under the fully checked root is checked.
    const ItemId other = tree.InsertItem(root, "other", true, 3);
    EXPECT_EQ(tree.Check(other), CheckState::Checked);
    tree.SetCheck(other, false);
    EXPECT_EQ(tree.Check(root), CheckState::Partial);
    const ItemId inside = tree.InsertItem(other, "x", false, 4);
    EXPECT_EQ(tree.Check(inside), CheckState::Unchecked);
}

TEST(ResultTree, DeleteRefusesItemsWithChildrenAndClearEmptiesEverything) {
    ResultTree tree;
    const ItemId root = tree.InsertItem(kNoItem, "ROOT", true, 0);
    tree.InsertItem(root, "f", false, 1);
    tree.DeleteItem(root);
    EXPECT_TRUE(tree.Valid(root));
    tree.Clear();
    EXPECT_EQ(tree.Root(), kNoItem);
    EXPECT_EQ(tree.Size(), 0u);
    EXPECT_FALSE(tree.Valid(root));
}

}  // namespace
}  // namespace salvora
