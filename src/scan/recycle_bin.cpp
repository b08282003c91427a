#include "scan/recycle_bin.h"

#include <algorithm>
#include <map>
#include <vector>

#include "io/utf8.h"

namespace salvora {
namespace {

constexpr std::size_t kMaxIndexBytes = 2047;
constexpr std::size_t kV1PathOffset = 24;
constexpr std::size_t kV2CountOffset = 24;
constexpr std::size_t kV2PathOffset = 28;

// UTF-16LE up to the first NUL or maxUnits; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(Bytes data, std::size_t offset, std::size_t maxUnits) {
    std::string out;
    for (std::size_t i = 0; i < maxUnits && Fits(data, offset + 2 * i, 2); ++i) {
        const char16_t unit = le16(data, offset + 2 * i);
        if (unit == 0) break;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < maxUnits && Fits(data, offset + 2 * i + 2, 2)) {
            const char16_t low = le16(data, offset + 2 * i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, (unit >= 0xD800 && unit <= 0xDFFF) ? char32_t{0xFFFD} : char32_t{unit});
    }
    return out;
}

std::string TrimRight(std::string text) {
    text.erase(text.find_last_not_of(" \t\n\v\f\r") + 1);
    return text;
}

// The index file's bytes, read where they lie on the volume; empty when it cannot be had whole.
std::optional<std::vector<std::uint8_t>> ReadIndexFile(ParserBase& parser, EntryId entry) {
    // An index file is a few hundred bytes; one claiming more is not one.
    const std::uint64_t size = parser.EntrySizeBytes(entry);
    if (size > kMaxIndexBytes) return std::nullopt;
    const std::optional<EntryContent> content = parser.Content(entry);
    if (!content || !content->whole) return std::nullopt;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min<std::uint64_t>(size, content->size)));
    const ContentRead read = ReadContent(parser.Source(), *content, 0, bytes);
    if (!read.unreadable.empty()) return std::nullopt;
    return bytes;
}

void RenameInUserFolder(ParserBase& parser, EntryId userFolder) {
    std::map<std::string, std::string> formerNames;  // index-file name -> former name
    for (auto child = parser.FirstChild(userFolder); child; child = parser.NextSibling(*child)) {
        const std::string name = parser.EntryName(*child);
        if (name.rfind("$I", 0) != 0 || !parser.IsWalkFile(*child)) continue;
        const auto data = ReadIndexFile(parser, *child);
        if (!data) continue;
        const auto former = RecycleIndexFormerPath(*data);
        if (!former) continue;
        const std::string formerName = former->substr(former->rfind('\\') + 1);
        if (!formerName.empty()) formerNames[name] = formerName;
    }
    for (const auto& [indexName, formerName] : formerNames) {
        const std::string contentName = "$R" + indexName.substr(2);
        for (auto child = parser.FirstChild(userFolder); child; child = parser.NextSibling(*child)) {
            if (TrimRight(parser.EntryName(*child)) == contentName) parser.RenameEntry(*child, formerName);
        }
    }
}

}  // namespace

std::optional<std::string> RecycleIndexFormerPath(Bytes index) {
    std::string path;
    switch (le64(index, 0)) {
        case 1:
            if (index.size() <= kV1PathOffset) return std::nullopt;
            path = Utf16ToUtf8(index, kV1PathOffset, (index.size() - kV1PathOffset) / 2);
            break;
        case 2:
            if (index.size() <= kV2PathOffset) return std::nullopt;
            path = Utf16ToUtf8(index, kV2PathOffset, le32(index, kV2CountOffset));
            break;
        default:
            return std::nullopt;
    }
    if (path.empty()) return std::nullopt;
    return path;
}

void RenameRecycledFiles(const ResultTree& tree, ParserBase& parser) {
    const ItemId root = tree.Root();
    if (root == kNoItem) return;
    for (ItemId child : tree.Children(root)) {
        const ResultItem item = tree.Item(child);
        // NTFS keeps the name in the letter case Windows gives it.
        if (!item.isFolder || !item.entry ||
            (item.text != "$RECYCLE.BIN" && item.text != "$RECYCLEBIN" && item.text != "$Recycle.Bin"))
            continue;
        for (auto user = parser.FirstChild(*item.entry); user; user = parser.NextSibling(*user)) {
            if (parser.IsFolder(*user)) RenameInUserFolder(parser, *user);
        }
    }
}

}  // namespace salvora
