// libFuzzer harness for the FAT16 and FAT32 parsers: the input is the start of a volume (boot sector, FATs,
// directories), padded to 4 MiB; both standard runs go through every step, the tree links are checked to be a
// tree, and a few files are extracted into a temporary folder.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fs/fat/fat16_class.h"
#include "fs/fat/fat32_class.h"
#include "fuzz_support.h"
#include "io/file_read_seek.h"
#include "model/result_tree.h"

namespace {

constexpr std::size_t kVolumeBytes = 4u << 20;
constexpr int kMaxExtractions = 8;

void Run(salvora::FatParser& parser, const std::string& path, bool formatted) {
    salvora::FileReadSeek reader;
    if (!reader.OpenSource(path)) return;
    salvora::ScanRequest request;
    request.source = &reader;
    request.volume.sizeText = "4";
    request.volume.sizeBytes = kVolumeBytes;
    request.formattedDrive = formatted;
    salvora::ResultTree tree;
    parser.tree = &tree;
    if (parser.Scan(request) != salvora::ScanOutcome::Done) return;

    // The links must form a tree: every record is reached at most once from the root.
    const std::size_t count = parser.Entries().size();
    std::vector<bool> seen(count, false);
    std::vector<salvora::EntryId> stack{parser.RootEntry()};
    int extracted = 0;
    while (!stack.empty()) {
        const salvora::EntryId id = stack.back();
        stack.pop_back();
        if (id >= count || seen[id]) std::abort();
        seen[id] = true;
        parser.FormatEntrySize(id);
        salvora::fuzz::CheckVerdict(parser, id);
        parser.FormatEntryTimes(id);
        if (parser.IsWalkFile(id) && extracted < kMaxExtractions) {
            const std::string dest =
                (salvora::fuzz::ScratchDir() / ("f" + std::to_string(extracted++))).string();
            parser.ExtractFile(id, dest);
            ::unlink(dest.c_str());
        }
        for (auto c = parser.FirstChild(id); c; c = parser.NextSibling(*c)) stack.push_back(*c);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kVolumeBytes) size = kVolumeBytes;
    const std::string path = salvora::fuzz::MemoryVolume(data, size, kVolumeBytes);
    if (path.empty()) return 0;
    const bool formatted = size > 0 && (data[size - 1] & 0x80) != 0 && (data[size - 1] & 0x7F) == 0x55;
    {
        salvora::Fat16Class fat16;
        Run(fat16, path, formatted);
    }
    {
        salvora::Fat32Class fat32;
        Run(fat32, path, formatted);
    }
    return 0;
}
