// libFuzzer harness for the advanced (damaged-volume) run of the FAT16 and FAT32 parsers: the input is a
// whole small volume (padded to 1 MiB) after two control bytes (kind, sectors per cluster, candidate,
// formatted); the FAT-copy search, the slot scan, the rebuilt tree and a few extractions all run on it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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

constexpr std::size_t kVolumeBytes = 1u << 20;
constexpr int kMaxExtractions = 6;

void Run(salvora::FatParser& parser, const std::string& path, unsigned sectorsPerCluster,
         std::size_t candidate, bool formatted) {
    salvora::FileReadSeek reader;
    if (!reader.OpenSource(path)) return;
    salvora::ScanRequest request;
    request.mode = salvora::RecoveryMode::Advanced;
    request.source = &reader;
    request.volume.sizeText = "1";
    request.volume.sizeBytes = kVolumeBytes;
    request.formattedDrive = formatted;
    request.candidate = candidate % 4;
    request.sectorsPerCluster = static_cast<int>(sectorsPerCluster);
    salvora::ResultTree tree;
    parser.tree = &tree;
    parser.SearchDamagedVolume(&reader, request.volume, static_cast<int>(candidate % 5));
    parser.Scan(request);

    // The links must form a tree: every record reachable at most once from the root.
    const auto& entries = parser.Entries();
    std::vector<bool> seen(entries.size(), false);
    std::vector<salvora::EntryId> stack{0};
    int extracted = 0;
    while (!stack.empty()) {
        const salvora::EntryId id = stack.back();
        stack.pop_back();
        if (id >= entries.size() || seen[id]) std::abort();
        seen[id] = true;
        salvora::fuzz::CheckVerdict(parser, id);
        if (parser.IsWalkFile(id) && extracted < kMaxExtractions) {
            const std::string dest =
                (salvora::fuzz::ScratchDir() / ("f" + std::to_string(extracted++))).string();
            parser.ExtractFile(id, dest);
            ::unlink(dest.c_str());
        }
        for (auto c = parser.FirstChild(id); c; c = parser.NextSibling(*c)) {
            if (*c >= entries.size() || seen[*c]) std::abort();
            stack.push_back(*c);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t control = data[0];
    const std::uint8_t candidate = data[1];
    data += 2;
    size -= 2;
    const std::string path = salvora::fuzz::MemoryVolume(data, size, kVolumeBytes);
    if (path.empty()) return 0;
    const unsigned sectorsPerCluster = 1u << (control & 7);  // 1..128
    const bool formatted = (control & 0x10) != 0;
    if (control & 0x08) {
        salvora::Fat32Class parser;
        Run(parser, path, sectorsPerCluster, candidate, formatted);
    } else {
        salvora::Fat16Class parser;
        Run(parser, path, sectorsPerCluster, candidate, formatted);
    }
    return 0;
}
