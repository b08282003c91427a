#pragma once
// Which files of a scanned volume a command works on: globs on the path `list` prints, deleted or live, size,
// modification time and kind by extension. The same words in every command that takes a selection.
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "model/allocation_map.h"

namespace salvora {

// `*` and `?` within one name, `**` for any number of folders including none ("**/*.jpg" matches "/a.jpg" and
// "/DCIM/100/a.jpg"). The path's leading "/" is optional on either side. Letter case is folded (ASCII and
// Latin-1 letters) unless caseSensitive.
bool GlobMatch(const std::string& pattern, const std::string& path, bool caseSensitive = false);

// "1500", "10K", "2M", "1.5G" (powers of 1024); nothing for anything else.
std::optional<std::uint64_t> ParseSizeText(const std::string& text);
// "2023-11-14", "2023-11-14T10:13", "2023-11-14T10:13:20", "2023-11-14 10:13:20Z" as UTC seconds; nothing for
// anything else.
std::optional<std::time_t> ParseDateText(const std::string& text);
// The extensions of a kind ("photo", "video", "audio", "document", "archive"); null for an unknown kind.
const std::vector<std::string>* KindExtensions(const std::string& kind);

struct Selection {
    std::vector<std::string> select;   // any of them (none: every path)
    std::vector<std::string> exclude;  // none of them
    bool caseSensitive = false;
    bool deletedOnly = false;
    bool liveOnly = false;
    std::optional<std::uint64_t> minSize, maxSize;
    std::optional<std::time_t> modifiedAfter, modifiedBefore;
    std::vector<std::string> extensions;  // lower case, without the dot (none: any)
    std::vector<Verdict> verdicts;         // any of them (none: any)

    bool Empty() const;
    // A file (folders are never selected: a save of the selection makes the folders its files need).
    // verdict: the entry's, needed only when verdicts is not empty (judging may read allocation data).
    bool Matches(const std::string& path, bool deleted, std::uint64_t size, std::optional<std::time_t> modified,
                 std::optional<Verdict> verdict = std::nullopt) const;
};

}  // namespace salvora
