#pragma once
// Triage of a scanned volume's files before a save: the filter the results page narrows its list with (the
// CLI's selection, plus the verdict on a deleted file's content), and a look at one file's first bytes without
// writing it anywhere.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/parser_base.h"
#include "model/result_tree.h"
#include "scan/selection.h"

namespace salvora {

// Text with "/" is a glob on the whole path; a glob without one matches names in any folder ("*.jpg" is
// "**/*.jpg"); any other text matches the names that contain it ("IMG" is "**/*IMG*").
std::string FilterTextGlob(const std::string& text);

struct TriageFilterInput {
    enum class Show { All, Deleted, Live };
    std::string text;
    Show show = Show::All;
    std::string minSize;  // "10K", "2M"; empty: any
    std::string kind;     // "photo", ...; empty: any
    std::string verdict;  // a VerdictName; empty: any
};

struct TriageFilter {
    Selection selection;
    std::optional<Verdict> verdict;
    bool Empty() const { return selection.Empty() && !verdict; }
};

// Null, with the reason in problem, when a field is not understood.
std::optional<TriageFilter> MakeTriageFilter(const TriageFilterInput& input, std::string& problem);

struct TriageMatch {
    EntryId entry = 0;
    std::string path;        // as `list` prints it: "/DCIM/100/a.jpg"
    std::size_t folder = 0;  // index in TriageMatches::folders
    std::optional<EntryVerdict> verdict;  // judged when the filter asks for one
};

struct TriageMatches {
    // The folders walked, each after its parent; the first is the one the walk began at.
    std::vector<EntryId> folders;
    std::vector<std::size_t> folderParents;  // index in folders; the first has none (itself)
    std::vector<TriageMatch> files;
    bool stopped = false;
};

// Every file below folder (whose path is folderPath, "" for the root) that the filter matches, depth-first.
// Judges only when the filter names a verdict. stop ends the walk early.
TriageMatches FindMatches(ParserBase& parser, const TriageFilter& filter, EntryId folder,
                          const std::string& folderPath, const std::atomic<bool>& stop);

// The tree item of a match, the folders on the way filled from the parser's records. folderItems remembers
// the folders found between calls (start with an empty vector; its first item is folderItem, the walk's
// start). kNoItem when the tree does not hold it.
ItemId RevealMatch(ResultTree& tree, const ParserBase& parser, const TriageMatches& matches, std::size_t index,
                   ItemId folderItem, std::vector<ItemId>& folderItems);

enum class PreviewKind { None, Picture, Text, Hex };

struct Preview {
    PreviewKind kind = PreviewKind::None;
    std::vector<std::uint8_t> bytes;  // the first bytes of the content, up to the kind's cap
    std::uint64_t size = 0;           // the content's stated size
    std::uint64_t unreadable = 0;     // bytes of `bytes` that could not be read (zeros)
    bool stopped = false;
};

inline constexpr std::uint64_t kPreviewPictureBytes = 32ull << 20;
inline constexpr std::uint64_t kPreviewTextBytes = 64ull << 10;
inline constexpr std::uint64_t kPreviewHexBytes = 4ull << 10;

// Valid UTF-8 without control characters but tab, line and page breaks; a sequence cut at the end is allowed.
bool LooksLikeText(std::string_view bytes);
// By extension first, then by the first bytes (picture signatures, then text).
PreviewKind PreviewKindFor(const std::string& name, std::string_view firstBytes);
// The entry's first bytes from its content runs; kind None when the parser cannot say where they lie.
Preview ReadPreview(ParserBase& parser, EntryId entry, const std::atomic<bool>& stop);
// A JPEG without its end marker or a PNG without its last chunk: the picture stops before its end (trailing
// zeros, a cluster's slack, are allowed).
bool PictureLooksCut(const std::vector<std::uint8_t>& bytes);
// "00000000  48 65 6c ...  |Hel...|", 16 bytes a line.
std::string HexDump(const std::vector<std::uint8_t>& bytes);

}  // namespace salvora
