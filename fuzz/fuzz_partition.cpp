// Both partition scans over a synthetic disk whose first sectors are the fuzz input: MBR and EBR chain, GPT,
// and the advance scan with and without skip. The image lives in a memfd padded to a few MiB, so slots and
// entries can point at sectors that exist, that are cut short, and that do not exist.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "io/file_read_seek.h"
#include "volumes/partition.h"

namespace {

constexpr std::size_t kMaxInput = 64 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return 0;
    // The input's last two bytes pick the image length, so partial chunks and sectors get their turn.
    std::size_t length = 3u << 20;
    if (size >= 2) length -= (static_cast<std::size_t>(data[size - 2]) << 8 | data[size - 1]) * 7;
    const std::string path = salvora::fuzz::MemoryVolume(data, size, length);
    salvora::FileReadSeek reader;
    if (path.empty() || !reader.OpenSource(path)) return 0;
    std::vector<salvora::VolumeEntry> volumes;
    for (const bool useGpt : {false, true}) {
        salvora::Partition scanner;
        scanner.volumeList = &volumes;
        scanner.useGpt = useGpt;
        scanner.ScanPartitionTables(reader);
    }
    for (const bool skip : {false, true}) {
        salvora::Partition scanner;
        scanner.volumeList = &volumes;
        scanner.skipFoundVolumes = skip;
        scanner.ScanForBootSectors(reader);
    }
    // Every record must be printable as the list shows it.
    for (const auto& v : volumes)
        if (v.sizeText.empty() || v.volumeName.empty()) __builtin_trap();
    return 0;
}
