#include "scan/list_rows.h"

#include <algorithm>

namespace salvora {

void WalkListOrder(const ParserBase& parser, const std::function<void(const ListWalkStep&)>& visit) {
    constexpr std::size_t kMaxDepth = 4096;
    struct Pending {
        EntryId entry;
        std::size_t parent;
        std::string parentPath;
        std::size_t depth;
    };
    std::vector<Pending> stack;
    std::vector<EntryId> children;
    const auto pushChildren = [&](EntryId folder, std::size_t index, const std::string& path, std::size_t depth) {
        if (depth > kMaxDepth) return;
        children.clear();
        for (auto c = parser.FirstChild(folder); c; c = parser.NextSibling(*c)) children.push_back(*c);
        for (auto c = children.rbegin(); c != children.rend(); ++c) stack.push_back({*c, index, path, depth});
    };
    pushChildren(parser.RootEntry(), kNoWalkParent, "", 1);
    for (std::size_t index = 0; !stack.empty(); ++index) {
        Pending next = std::move(stack.back());
        stack.pop_back();
        std::string path = std::move(next.parentPath);
        path += '/';
        path += parser.EntryName(next.entry);
        const bool folder = parser.IsFolder(next.entry);
        visit({next.entry, path, index, next.parent, folder});
        if (folder) pushChildren(next.entry, index, path, next.depth + 1);
    }
}

ListRow MakeListRow(const ParserBase& parser, EntryId entry, const std::string& path, ItemId item) {
    const EntryTexts texts = parser.FormatEntryTimes(entry);
    ListRow row;
    row.path = path;
    row.created = texts.created;
    row.accessed = texts.accessed;
    row.modified = texts.modified;
    row.size = parser.FormatEntrySize(entry);
    row.sizeBytes = parser.EntrySizeBytes(entry);
    row.attributes = texts.attributes;
    row.item = item;
    row.entry = entry;
    if (parser.IsDeleted(entry)) row.textColour = parser.DeletedColour();
    return row;
}

namespace {
bool IsUnreadableFolder(const ParserBase& parser, EntryId entry) {
    const auto& folders = parser.UnreadableFolders();
    return std::find(folders.begin(), folders.end(), entry) != folders.end();
}
}  // namespace

void PlaceFirstLevelPlaceholders(ResultTree& tree, const ParserBase& parser) {
    const ItemId root = tree.Root();
    if (root == kNoItem) return;
    if (const auto entry = tree.Item(root).entry; entry && IsUnreadableFolder(parser, *entry)) tree.SetUnreadable(root);
    for (ItemId child : tree.Children(root)) {
        const ResultItem item = tree.Item(child);
        if (item.entry && IsUnreadableFolder(parser, *item.entry)) tree.SetUnreadable(child);
        if (!item.entry || !item.children.empty()) continue;
        if (parser.IsFolder(*item.entry) && parser.FirstChild(*item.entry)) tree.InsertPlaceholder(child);
    }
}

void FillFolderChildren(ResultTree& tree, const ParserBase& parser, ItemId item) {
    const ResultItem folder = tree.Item(item);
    if (!folder.entry || !parser.IsFolder(*folder.entry)) return;
    if (!folder.children.empty()) {
        if (!tree.IsPlaceholder(folder.children.front())) return;  // filled before
        tree.DeleteItem(folder.children.front());
    }
    // Colour on every fill, whether by expansion or by a click: the deleted mark must not depend on how the
    // folder was opened.
    const bool folderDeleted = parser.IsDeleted(*folder.entry);
    const std::uint32_t colour = parser.DeletedColour();
    for (auto child = parser.FirstChild(*folder.entry); child; child = parser.NextSibling(*child)) {
        const bool isFolder = parser.IsFolder(*child);
        const ItemId inserted = tree.InsertItem(item, parser.EntryName(*child), isFolder, *child);
        if (inserted == kNoItem) return;
        if (isFolder && parser.FirstChild(*child)) tree.InsertPlaceholder(inserted);
        if (isFolder && IsUnreadableFolder(parser, *child)) tree.SetUnreadable(inserted);
        if (parser.IsDeleted(*child) || (folderDeleted && !isFolder)) tree.SetTextColour(inserted, colour);
    }
}

std::vector<ListRow> ShowFolderFiles(const ResultTree& tree, const ParserBase& parser, ItemId item) {
    std::vector<ListRow> rows;
    const ResultItem selected = tree.Item(item);
    if (!selected.entry) return rows;
    if (!parser.IsFolder(*selected.entry)) {
        rows.push_back(MakeListRow(parser, *selected.entry, selected.text, item));
        if (selected.textColour) rows.back().textColour = selected.textColour;
        return rows;
    }
    for (ItemId child : selected.children) {
        const ResultItem c = tree.Item(child);
        if (!c.entry || parser.IsFolder(*c.entry)) continue;
        rows.push_back(MakeListRow(parser, *c.entry, c.text, child));
        // A file of a deleted folder is red in the tree; the list says the same.
        if (c.textColour) rows.back().textColour = c.textColour;
    }
    return rows;
}

}  // namespace salvora
