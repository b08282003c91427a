#pragma once
// The tree of recovered folders and files that the parsers fill and the front ends show. Items carry the
// parser's EntryId; the parser owns the records. Safe to fill from a worker while a front end reads it.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "model/parser_base.h"

namespace salvora {

using ItemId = std::int32_t;
inline constexpr ItemId kNoItem = -1;
inline constexpr const char* PlaceholderText = "..DUMY..";

enum class CheckState : std::uint8_t { Unchecked, Checked, Partial };

struct ResultItem {
    std::string text;
    bool isFolder = false;
    std::string extension;  // lower-case, without the dot; picks the file's icon
    std::optional<std::uint32_t> textColour;
    CheckState check = CheckState::Unchecked;
    std::optional<EntryId> entry;  // empty for the placeholder
    ItemId parent = kNoItem;
    std::vector<ItemId> children;
    bool expanded = false;
    bool removed = false;
    bool unreadable = false;  // a folder whose listing could not be read whole: its files are missing
};

// Told of every change, on the thread that made it.
class ResultTreeObserver {
public:
    virtual ~ResultTreeObserver() = default;
    virtual void ItemInserted(ItemId parent, int row, ItemId item) = 0;
    virtual void ItemRemoved(ItemId parent, int row, ItemId item) = 0;
    virtual void ItemChanged(ItemId item) = 0;
    virtual void TreeCleared() = 0;
};

class ResultTree {
public:
    // parent kNoItem inserts a top-level item (the parser's "ROOT").
    ItemId InsertItem(ItemId parent, const std::string& text, bool isFolder,
                      std::optional<EntryId> entry = std::nullopt);
    void SetTextColour(ItemId item, std::uint32_t colour);
    void SetText(ItemId item, const std::string& text);
    void SetUnreadable(ItemId item);
    void Expand(ItemId item);
    // Removes a leaf (the placeholder); items with children are not removed.
    void DeleteItem(ItemId item);
    void Clear();

    void InsertPlaceholder(ItemId folder);
    bool IsPlaceholder(ItemId item) const;

    ItemId Root() const;  // the first top-level item, or kNoItem
    std::vector<ItemId> TopLevel() const;
    std::vector<ItemId> Children(ItemId item) const;
    ItemId FirstChild(ItemId item) const;
    ResultItem Item(ItemId item) const;  // a copy; a default item for an unknown id
    bool Valid(ItemId item) const;
    std::size_t Size() const;

    // Checking a folder checks all its descendants; every change updates the parents (all, none or partial).
    // Children inserted later under a checked folder start checked.
    void SetCheck(ItemId item, bool checked);
    CheckState Check(ItemId item) const;
    // Checked items whose parent is not fully checked: what a save of the checked items starts from.
    std::vector<ItemId> CheckedRoots() const;

    void SetObserver(ResultTreeObserver* observer);

private:
    bool ValidLocked(ItemId item) const;
    void SetCheckDown(ItemId item, CheckState state);
    void UpdateParents(ItemId item);
    void CollectCheckedRoots(ItemId item, std::vector<ItemId>& out) const;

    mutable std::recursive_mutex mutex_;
    std::vector<ResultItem> items_;
    std::vector<ItemId> topLevel_;
    ResultTreeObserver* observer_ = nullptr;
};

}  // namespace salvora
