#pragma once
// What the results page shows of a parser's records: lazy children in the ResultTree and the rows of the file
// list. Works on any ParserBase; the tree holds only what has been opened so far.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "model/parser_base.h"
#include "model/result_tree.h"

namespace salvora {

// One row of the file list: "File(s) List", "Creation Time", "Access Time", "Modification Time", "Size",
// "Attribute".
struct ListRow {
    std::string path;  // column 0: the item's text, or a search hit's full path
    std::string created;
    std::string accessed;
    std::string modified;
    std::string size;
    std::string attributes;
    std::uint64_t sizeBytes = 0;  // what "Size" says, for sorting
    ItemId item = kNoItem;         // row data of a folder listing
    std::optional<EntryId> entry;  // the record behind the row (a search hit has no tree item)
    std::optional<std::uint32_t> textColour;  // 0x00BBGGRR, as the tree shows the entry (deleted: red)
};

// One entry of the walk `list` prints: its path ("/" + names from the root), its number in the walk and its
// folder's (kNoWalkParent for the root's children).
inline constexpr std::size_t kNoWalkParent = static_cast<std::size_t>(-1);
struct ListWalkStep {
    EntryId entry;
    const std::string& path;
    std::size_t index;
    std::size_t parent;
    bool folder;
};
// Every entry below the root, depth-first, each folder before its contents, in the parser's order. Each record
// is linked under one parent, so the walk ends; folders 4096 deep are not walked into, so a damaged chain cannot
// run paths without end.
void WalkListOrder(const ParserBase& parser, const std::function<void(const ListWalkStep&)>& visit);

ListRow MakeListRow(const ParserBase& parser, EntryId entry, const std::string& path, ItemId item = kNoItem);

// The end of a scan: a placeholder under every first-level folder that has children.
void PlaceFirstLevelPlaceholders(ResultTree& tree, const ParserBase& parser);

// Inserts the children of a folder item from the parser's records, once; a folder child that has children
// gets a placeholder. Deleted children, and every file of a deleted folder, get the parser's deleted colour.
void FillFolderChildren(ResultTree& tree, const ParserBase& parser, ItemId item);

// The list after a label click: the file children of a folder item (call FillFolderChildren first), or the
// one row of a file item.
std::vector<ListRow> ShowFolderFiles(const ResultTree& tree, const ParserBase& parser, ItemId item);

}  // namespace salvora
