// libFuzzer harness for the ext2/3/4 parser: the input is the start of a volume (superblock, group
// descriptors, inode tables, extent trees, directory blocks), padded to 2 MiB. Every scan step runs; the
// shown tree must be a tree, and a few files are saved into a temporary folder.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "fs/ext/ext2_class.h"
#include "fuzz_support.h"
#include "io/file_read_seek.h"
#include "model/result_tree.h"

namespace {

constexpr std::size_t kVolumeBytes = 2u << 20;
constexpr int kMaxExtractions = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = salvora::fuzz::MemoryVolume(data, size, kVolumeBytes);
    salvora::FileReadSeek reader;
    if (path.empty() || !reader.OpenSource(path)) return 0;
    salvora::ext2Class parser;
    salvora::ResultTree tree;
    parser.tree = &tree;
    salvora::ScanRequest request;
    request.source = &reader;
    request.volume = {"extX", "", "fuzz", "2", 0, kVolumeBytes, {}, {}};
    if (parser.Scan(request) != salvora::ScanOutcome::Done) return 0;

    // Every record is reached at most once from the root, through the raw links and the shown ones alike.
    std::set<salvora::EntryId> seen;
    std::vector<salvora::EntryId> stack{parser.RootEntry()};
    int extracted = 0;
    while (!stack.empty()) {
        const salvora::EntryId id = stack.back();
        stack.pop_back();
        if (!seen.insert(id).second || !parser.Record(id)) std::abort();
        parser.FormatEntrySize(id);
        salvora::fuzz::CheckVerdict(parser, id);
        parser.FormatEntryTimes(id);
        if (parser.IsWalkFile(id) && extracted < kMaxExtractions) {
            const std::string dest =
                (salvora::fuzz::ScratchDir() / ("f" + std::to_string(extracted++))).string();
            parser.ExtractFile(id, dest);
            ::unlink(dest.c_str());
        }
        for (salvora::EntryId c = parser.Record(id)->firstChild; c != salvora::kExtNoEntry;
             c = parser.Record(c) ? parser.Record(c)->nextSibling : salvora::kExtNoEntry) {
            if (!parser.Record(c) || seen.count(c)) std::abort();
            stack.push_back(c);
        }
    }
    return 0;
}
