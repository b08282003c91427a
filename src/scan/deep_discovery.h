#pragma once
// The advanced-input page without its widgets: which parser a damaged volume's label needs, the searches for
// FAT copies (and, on exFAT, cluster-heap starts) on a worker, and everything the page then shows: the
// candidate texts with their byte offsets, the "Sector Per Cluster :" list in its order, the count message.
// The page fills its combo boxes from a DeepDiscovery and hands the parser with the chosen items to the
// results page (ScanSession::SetAdvancedInput).
//
//     const DiscoveryKind kind = DiscoveryKindForLabel(volume.fileSystemLabel);
//     auto parser = CreateDiscoveryParser(kind);             // null: no search, Next does nothing
//     parser->statusWindow = sink;
//     DeepDiscovery found = RunDeepDiscovery(*parser, kind, source, volume, maxFileSystems);   // worker
//     ... combo boxes := found.candidateTexts, found.sectorsPerClusterTexts, found.heapTexts;
//     ... message box found.message; status kDiscoveryDoneText.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/file_read_seek.h"
#include "model/parser_base.h"
#include "volumes/volume_entry.h"

namespace salvora {

enum class DiscoveryKind { None, Fat16, Fat32, ExFat, Fat12 };

// "fat32" -> Fat32; "fat16" or "fat" -> Fat16; "fat12" -> Fat12; "fat64" or "exFat" -> ExFat (any case); None otherwise.
DiscoveryKind DiscoveryKindForLabel(const std::string& fileSystemLabel);
// Fat16Class, Fat32Class or Fat64Class; null for None.
std::unique_ptr<ParserBase> CreateDiscoveryParser(DiscoveryKind kind);
// The status text the page shows when it starts the worker ("Total fat16 Entries Found:", "Total fat64
// Entries Found:"); empty for FAT32.
std::string DiscoveryOpeningStatus(DiscoveryKind kind);
// Which combo boxes the page shows besides "TFS :".
inline bool ShowsSectorsPerCluster(DiscoveryKind kind) { return kind != DiscoveryKind::None; }
inline bool ShowsHeapOffsets(DiscoveryKind kind) { return kind == DiscoveryKind::ExFat; }

inline constexpr const char* kDiscoveryDoneText = "Parsing done.Click Next to continue.";

struct DeepDiscovery {
    DiscoveryKind kind = DiscoveryKind::None;
    bool bootValid = false;
    bool stopped = false;    // the stop flag was seen: the lists hold what was found before it
    int maxFileSystems = 3;  // the limit the searches ran with
    // "TFS :": one text per FAT candidate ("FAT_ENTRY:%d", "FAT32_ENTRY:%d", "FAT64_ENTRY:%d"), index i for
    // fatOffsets[i] (volume byte offsets).
    std::vector<std::uint64_t> fatOffsets;
    std::vector<std::string> candidateTexts;
    // "Heap Offset :" (exFAT): "HEAP_OFFSET_ENTRY:%d" per heap candidate; with a valid boot sector the first
    // is the heap offset the boot sector states.
    std::vector<std::uint64_t> heapOffsets;
    std::vector<std::string> heapTexts;
    // "Sector Per Cluster :": the boot sector's value first when it is usable, then the fixed list of the
    // kind (exFAT: shift values, cluster = 512 << shift).
    std::vector<std::string> sectorsPerClusterTexts;
    // The message box shown with the counts.
    std::string message;
    // "geometry from N entries: cluster K bytes, data at sector S" when the entries found told it (its
    // sectors per cluster then lead the list); empty otherwise.
    std::string geometryText;
    // The volume was quick-formatted over older files: an empty FAT, and folders in the data area on clusters it
    // marks free. formattedText says so; the front ends then read it as formatted unless told not to.
    bool looksFormatted = false;
    std::string formattedText;
};

// The page's worker: starts the parser on the volume (its window, boot sector), takes its volume size from the
// entry, runs the searches with maxFileSystems (below 1: 3) and builds the texts. The parser
// must come from CreateDiscoveryParser(kind); it keeps its candidates for the advanced run. Status and
// progress go to parser.statusWindow. Polls parser.stopRequested.
DeepDiscovery RunDeepDiscovery(ParserBase& parser, DiscoveryKind kind, readWriteInterface* reader,
                               const VolumeEntry& volume, int maxFileSystems);

// The "Sector Per Cluster :" lists, in combo order. bootValue: the boot sector's sectors per cluster (FAT) or
// its cluster shift over 512-byte sectors (exFAT); it leads the list when bootValid and usable (FAT: non-zero
// and even; exFAT: any).
std::vector<std::string> SectorsPerClusterList(DiscoveryKind kind, bool bootValid, int bootValue);

// What the advanced-input page hands to the results page besides the parser: the selected items.
struct AdvancedSelection {
    std::size_t candidateIndex = 0;     // into DeepDiscovery::fatOffsets
    std::string sectorsPerClusterText;  // the selected "Sector Per Cluster :" text
    std::size_t heapIndex = 0;          // exFAT: into DeepDiscovery::heapOffsets
};

// The number a "Sector Per Cluster :" text holds (leading digits; 0 when none).
int SectorsPerClusterValue(const std::string& text);

}  // namespace salvora
