#pragma once
// Runs ext2Class's scan over an image, as the session does, and collects the shown tree by path.
#include <cstdint>
#include <map>
#include <string>

#include "fs/ext/ext2_class.h"
#include "io/file_read_seek.h"
#include "model/result_tree.h"

namespace salvora::test {

struct ExtListed {
    EntryId id = 0;
    bool folder = false;
    bool deleted = false;
    std::uint64_t size = 0;
};

// All steps over the volume at byte `start` of the source; false when a step that ends the scan failed.
inline bool RunExtScan(ext2Class& parser, FileReadSeek& reader, const std::string& path,
                       std::uint64_t volumeBytes, std::uint64_t startSector = 0) {
    if (!reader.OpenSource(path)) return false;
    ScanRequest request;
    request.source = &reader;
    request.volume = {"extX", "", path, std::to_string(volumeBytes >> 20), startSector, volumeBytes, {}, {}};
    return parser.Scan(request) == ScanOutcome::Done;
}

// Every entry reachable from the root through the results-side links, by path ("/docs/readme.txt").
inline void CollectExt(const ext2Class& parser, EntryId dir, const std::string& prefix,
                       std::multimap<std::string, ExtListed>& out, int depth = 0) {
    if (depth > 64) return;
    for (auto c = parser.FirstChild(dir); c; c = parser.NextSibling(*c)) {
        const std::string path = prefix + "/" + parser.EntryName(*c);
        out.emplace(path,
                    ExtListed{*c, parser.IsFolder(*c), parser.IsDeleted(*c), parser.EntrySizeBytes(*c)});
        if (parser.IsFolder(*c)) CollectExt(parser, *c, path, out, depth + 1);
    }
}

}  // namespace salvora::test
