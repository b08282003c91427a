#include "scan/triage.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "scan/list_rows.h"

namespace salvora {

std::string FilterTextGlob(const std::string& text) {
    if (text.empty() || text.find('/') != std::string::npos) return text;
    if (text.find_first_of("*?") != std::string::npos) return "**/" + text;
    return "**/*" + text + "*";
}

std::optional<TriageFilter> MakeTriageFilter(const TriageFilterInput& input, std::string& problem) {
    TriageFilter f;
    if (const std::string glob = FilterTextGlob(input.text); !glob.empty()) f.selection.select.push_back(glob);
    f.selection.deletedOnly = input.show == TriageFilterInput::Show::Deleted;
    f.selection.liveOnly = input.show == TriageFilterInput::Show::Live;
    if (!input.minSize.empty()) {
        f.selection.minSize = ParseSizeText(input.minSize);
        if (!f.selection.minSize) {
            problem = "not a size: " + input.minSize + " (1500, 10K, 2M, 1.5G)";
            return std::nullopt;
        }
    }
    if (!input.kind.empty()) {
        const std::vector<std::string>* extensions = KindExtensions(input.kind);
        if (!extensions) {
            problem = "not a kind of file: " + input.kind;
            return std::nullopt;
        }
        f.selection.extensions = *extensions;
    }
    if (!input.verdict.empty()) {
        f.verdict = ParseVerdict(input.verdict);
        if (!f.verdict) {
            problem = "not a state: " + input.verdict;
            return std::nullopt;
        }
    }
    return f;
}

TriageMatches FindMatches(ParserBase& parser, const TriageFilter& filter, EntryId folder,
                          const std::string& folderPath, const std::atomic<bool>& stop) {
    TriageMatches out;
    out.folders.push_back(folder);
    out.folderParents.push_back(0);
    // In the order `list` prints: depth-first, each folder's entries in the parser's order. A damaged chain
    // must not make paths without end: the same depth bound.
    constexpr std::size_t kMaxDepth = 4096;
    struct Pending {
        EntryId entry;
        std::size_t parent;  // in out.folders
        std::size_t depth;
    };
    std::vector<Pending> stack;
    std::vector<std::string> folderPaths{folderPath};
    std::vector<EntryId> children;
    const auto pushChildren = [&](std::size_t folderIndex, std::size_t depth) {
        if (depth > kMaxDepth) return;
        children.clear();
        for (auto c = parser.FirstChild(out.folders[folderIndex]); c; c = parser.NextSibling(*c)) children.push_back(*c);
        for (auto c = children.rbegin(); c != children.rend(); ++c) stack.push_back({*c, folderIndex, depth});
    };
    pushChildren(0, 1);
    while (!stack.empty()) {
        if (stop.load(std::memory_order_relaxed)) {
            out.stopped = true;
            break;
        }
        const Pending at = stack.back();
        stack.pop_back();
        std::string path = folderPaths[at.parent] + "/" + parser.EntryName(at.entry);
        if (parser.IsFolder(at.entry)) {
            out.folders.push_back(at.entry);
            out.folderParents.push_back(at.parent);
            folderPaths.push_back(std::move(path));
            pushChildren(out.folders.size() - 1, at.depth + 1);
            continue;
        }
        if (!parser.IsWalkFile(at.entry)) continue;
        std::optional<std::time_t> modified;
        if (filter.selection.modifiedAfter || filter.selection.modifiedBefore)
            if (const auto t = parser.EntryStoredTimes(at.entry).modified) modified = t->tv_sec;
        if (!filter.selection.Matches(path, parser.IsDeleted(at.entry), parser.EntrySizeBytes(at.entry), modified))
            continue;
        TriageMatch match{at.entry, std::move(path), at.parent, std::nullopt};
        if (filter.verdict) {
            match.verdict = parser.Judge(at.entry);
            if (match.verdict->verdict != *filter.verdict) continue;
        }
        out.files.push_back(std::move(match));
    }
    return out;
}

namespace {

ItemId RevealFolder(ResultTree& tree, const ParserBase& parser, const TriageMatches& matches, std::size_t folder,
                    std::vector<ItemId>& folderItems) {
    if (folderItems[folder] != kNoItem || folder == 0) return folderItems[folder];
    const ItemId parent = RevealFolder(tree, parser, matches, matches.folderParents[folder], folderItems);
    if (parent == kNoItem) return kNoItem;
    FillFolderChildren(tree, parser, parent);
    for (ItemId child : tree.Children(parent))
        if (tree.Item(child).entry == matches.folders[folder]) return folderItems[folder] = child;
    return kNoItem;
}

}  // namespace

ItemId RevealMatch(ResultTree& tree, const ParserBase& parser, const TriageMatches& matches, std::size_t index,
                   ItemId folderItem, std::vector<ItemId>& folderItems) {
    if (index >= matches.files.size()) return kNoItem;
    if (folderItems.size() != matches.folders.size()) {
        folderItems.assign(matches.folders.size(), kNoItem);
        folderItems[0] = folderItem;
    }
    const TriageMatch& match = matches.files[index];
    const ItemId folder = RevealFolder(tree, parser, matches, match.folder, folderItems);
    if (folder == kNoItem) return kNoItem;
    FillFolderChildren(tree, parser, folder);
    for (ItemId child : tree.Children(folder))
        if (tree.Item(child).entry == match.entry) return child;
    return kNoItem;
}

bool LooksLikeText(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') return false;
            if (c == 0x7F) return false;
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t min = 0;
        if ((c & 0xE0) == 0xC0) length = 2, min = 0x80;
        else if ((c & 0xF0) == 0xE0) length = 3, min = 0x800;
        else if ((c & 0xF8) == 0xF0) length = 4, min = 0x10000;
        else return false;
        if (i + length > bytes.size()) {
            // Cut by the preview's cap: what is there must still continue the sequence.
            for (std::size_t k = i + 1; k < bytes.size(); ++k)
                if ((static_cast<unsigned char>(bytes[k]) & 0xC0) != 0x80) return false;
            return true;
        }
        std::uint32_t code = c & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            const auto b = static_cast<unsigned char>(bytes[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            code = (code << 6) | (b & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

namespace {

std::string LowerExtension(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return {};
    std::string ext = name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext;
}

bool StartsWith(std::string_view bytes, std::string_view magic) {
    return bytes.size() >= magic.size() && bytes.substr(0, magic.size()) == magic;
}

}  // namespace

PreviewKind PreviewKindFor(const std::string& name, std::string_view firstBytes) {
    static constexpr std::array<std::string_view, 9> kPictures{"jpg", "jpeg", "png", "gif", "bmp",
                                                               "tif", "tiff", "webp", "jfif"};
    static constexpr std::array<std::string_view, 14> kTexts{"txt", "csv", "log", "md",  "json", "xml", "html",
                                                             "htm", "ini", "cfg", "conf", "yaml", "yml", "srt"};
    const std::string ext = LowerExtension(name);
    if (std::find(kPictures.begin(), kPictures.end(), ext) != kPictures.end()) return PreviewKind::Picture;
    if (std::find(kTexts.begin(), kTexts.end(), ext) != kTexts.end()) return PreviewKind::Text;
    using namespace std::string_view_literals;
    for (std::string_view magic : {"\xFF\xD8\xFF"sv, "\x89PNG\r\n\x1A\n"sv, "GIF87a"sv, "GIF89a"sv, "BM"sv,
                                   "II*\0"sv, "MM\0*"sv})
        if (StartsWith(firstBytes, magic)) return PreviewKind::Picture;
    if (StartsWith(firstBytes, "RIFF") && firstBytes.size() >= 12 && firstBytes.substr(8, 4) == "WEBP")
        return PreviewKind::Picture;
    if (!firstBytes.empty() && LooksLikeText(firstBytes)) return PreviewKind::Text;
    return PreviewKind::Hex;
}

Preview ReadPreview(ParserBase& parser, EntryId entry, const std::atomic<bool>& stop) {
    Preview out;
    const std::optional<EntryContent> content = parser.Content(entry);
    if (!content) return out;
    out.size = content->size;
    readWriteInterface* source = parser.Source();
    const auto read = [&](std::uint64_t upTo) {
        constexpr std::uint64_t kChunk = 1 << 20;
        upTo = std::min(upTo, out.size);
        while (out.bytes.size() < upTo) {
            if (stop.load(std::memory_order_relaxed)) {
                out.stopped = true;
                return;
            }
            const std::uint64_t at = out.bytes.size();
            out.bytes.resize(std::min(upTo, at + kChunk));
            const ContentRead got =
                ReadContent(source, *content, at, std::span<std::uint8_t>(out.bytes.data() + at, out.bytes.size() - at));
            for (const auto& [first, last] : got.unreadable) out.unreadable += last - first;
            if (got.bytes < out.bytes.size() - at) {
                out.bytes.resize(at + got.bytes);
                return;
            }
        }
    };
    read(kPreviewHexBytes);
    const std::string_view first(reinterpret_cast<const char*>(out.bytes.data()), out.bytes.size());
    out.kind = PreviewKindFor(parser.EntryName(entry), first);
    if (out.kind == PreviewKind::Picture) read(kPreviewPictureBytes);
    if (out.kind == PreviewKind::Text) {
        read(kPreviewTextBytes);
        // Named as text but holding something else: bytes are shown as bytes.
        const std::string_view all(reinterpret_cast<const char*>(out.bytes.data()), out.bytes.size());
        if (!LooksLikeText(all)) {
            out.kind = PreviewKind::Hex;
            out.bytes.resize(std::min<std::size_t>(out.bytes.size(), kPreviewHexBytes));
        }
    }
    return out;
}

bool PictureLooksCut(const std::vector<std::uint8_t>& bytes) {
    const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::size_t end = all.size();
    while (end > 0 && all[end - 1] == '\0') --end;
    const std::string_view used = all.substr(0, end);
    // The end must be the last thing: a thumbnail inside the picture has an end marker of its own.
    if (StartsWith(used, "\xFF\xD8\xFF")) return !used.ends_with("\xFF\xD9");
    if (StartsWith(used, "\x89PNG\r\n\x1A\n")) return !used.ends_with("IEND\xAE\x42\x60\x82");
    return false;
}

std::string HexDump(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() / 16 * 78 + 80);
    for (std::size_t line = 0; line < bytes.size(); line += 16) {
        char offset[32];
        std::snprintf(offset, sizeof offset, "%08zx  ", line);
        out += offset;
        for (std::size_t k = 0; k < 16; ++k) {
            if (line + k < bytes.size()) {
                out += kDigits[bytes[line + k] >> 4];
                out += kDigits[bytes[line + k] & 0xF];
                out += ' ';
            } else {
                out += "   ";
            }
            if (k == 7) out += ' ';
        }
        out += " |";
        for (std::size_t k = 0; k < 16 && line + k < bytes.size(); ++k) {
            const std::uint8_t b = bytes[line + k];
            out += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
        }
        out += "|\n";
    }
    return out;
}

}  // namespace salvora
