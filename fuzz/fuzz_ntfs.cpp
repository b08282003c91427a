// libFuzzer harness for the NTFS parser: the input is the start of a volume (boot sector, MFT records, data),
// padded to 2 MiB. The standard run and the advanced one (which searches for the MFT) run; the shown tree must be
// a tree, and a few files are saved into a temporary folder.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "fs/ntfs/ntfs_class.h"
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
    for (const salvora::RecoveryMode mode : {salvora::RecoveryMode::Standard, salvora::RecoveryMode::Advanced}) {
        salvora::NtfsClass parser;
        salvora::ResultTree tree;
        parser.tree = &tree;
        salvora::ScanRequest request;
        request.mode = mode;
        request.source = &reader;
        request.volume = {"NTFS", "", "fuzz", "7", 0, kVolumeBytes, {}, {}};
        if (parser.Scan(request) != salvora::ScanOutcome::Done) continue;
        // Every entry is reached at most once from the root.
        std::set<salvora::EntryId> seen;
        std::vector<salvora::EntryId> stack{parser.RootEntry()};
        int extracted = 0;
        while (!stack.empty()) {
            const salvora::EntryId id = stack.back();
            stack.pop_back();
            if (!seen.insert(id).second || id >= parser.Entries().size()) std::abort();
            parser.FormatEntrySize(id);
            salvora::fuzz::CheckVerdict(parser, id);
            parser.FormatEntryTimes(id);
            if (parser.IsWalkFile(id) && extracted < kMaxExtractions) {
                const std::string dest = (salvora::fuzz::ScratchDir() / ("f" + std::to_string(extracted++))).string();
                parser.ExtractFile(id, dest);
                ::unlink(dest.c_str());
            }
            for (auto c = parser.FirstChild(id); c; c = parser.NextSibling(*c)) stack.push_back(*c);
        }
        // Every entry hangs somewhere below the root (the lost-entries folder only when it holds any).
        if (seen.size() + (seen.count(1) ? 0 : 1) != parser.Entries().size()) std::abort();
    }
    return 0;
}
