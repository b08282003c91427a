#pragma once
// Runs HFSP's scan over an image as the session does, and collects the tree by path.
#include <map>
#include <string>

#include "fs/hfsplus/hfsp.h"
#include "io/file_read_seek.h"

namespace salvora::test {

// "Work Done." (true) or "Work Aborted...." (false), as the worker decides.
inline bool RunHfsScan(HFSP& parser, FileReadSeek& reader, const std::string& path, bool deep,
                       std::uint64_t startSector = 0, const std::string& sizeText = "") {
    if (!reader.OpenSource(path)) return false;
    ScanRequest request;
    request.mode = deep ? RecoveryMode::Deep : RecoveryMode::Standard;
    request.source = &reader;
    request.volume = {"HFS+", "", path, sizeText, startSector, SizeTextMiB(sizeText) << 20, {}, {}};
    return parser.Scan(request) == ScanOutcome::Done;
}

inline void CollectHfs(const HFSP& parser, EntryId dir, const std::string& prefix,
                       std::map<std::string, EntryId>& out, int depth = 0) {
    if (depth > 64) return;
    for (auto c = parser.FirstChild(dir); c; c = parser.NextSibling(*c)) {
        const std::string path = prefix + "/" + parser.EntryName(*c);
        out.emplace(path, *c);
        if (parser.IsFolder(*c)) CollectHfs(parser, *c, path, out, depth + 1);
    }
}

inline std::map<std::string, EntryId> HfsPaths(const HFSP& parser) {
    std::map<std::string, EntryId> out;
    CollectHfs(parser, parser.RootEntry(), "", out);
    return out;
}

}  // namespace salvora::test
