// libFuzzer harness for a FAT32 scan followed by the Recycle Bin pass, as a standard session runs them: the
// input is the start of a volume padded to 4 MiB; the pass reads "$I" files where they lie, through the
// parser's content runs, and renames "$R" files, which must leave the records and their links as they were.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fs/fat/fat32_class.h"
#include "fuzz_support.h"
#include "io/file_read_seek.h"
#include "scan/list_rows.h"
#include "scan/recycle_bin.h"
#include "model/result_tree.h"

namespace {

// Every record reached from the root, each at most once (the links form a tree).
std::size_t Reached(const salvora::FatParser& parser) {
    std::vector<bool> seen(parser.Entries().size(), false);
    std::vector<salvora::EntryId> stack{parser.RootEntry()};
    std::size_t count = 0;
    while (!stack.empty()) {
        const salvora::EntryId id = stack.back();
        stack.pop_back();
        if (id >= seen.size() || seen[id]) std::abort();
        seen[id] = true;
        ++count;
        for (auto c = parser.FirstChild(id); c; c = parser.NextSibling(*c)) stack.push_back(*c);
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kVolumeBytes = 4u << 20;
    const std::string path = salvora::fuzz::MemoryVolume(data, size, kVolumeBytes);
    salvora::FileReadSeek reader;
    if (path.empty() || !reader.OpenSource(path)) return 0;
    salvora::Fat32Class parser;
    salvora::ResultTree tree;
    parser.tree = &tree;
    salvora::ScanRequest request;
    request.source = &reader;
    request.volume.sizeText = "4";
    request.volume.sizeBytes = kVolumeBytes;
    if (parser.Scan(request) != salvora::ScanOutcome::Done) return 0;
    salvora::PlaceFirstLevelPlaceholders(tree, parser);
    const std::size_t records = parser.Entries().size();
    const std::size_t reached = Reached(parser);
    salvora::RenameRecycledFiles(tree, parser);
    if (parser.Entries().size() != records || Reached(parser) != reached) std::abort();
    return 0;
}
