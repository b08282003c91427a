#include "scan/deep_discovery.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "scan/file_systems.h"
#include "scan/recovery_options.h"

namespace salvora {
namespace {


// The fixed "Sector Per Cluster :" items after the boot sector's own value. The FAT lists end with "1": a
// volume of 512-byte clusters (small cards, anything made with -s 1) could not be rebuilt otherwise.
const std::vector<std::string> kFat16Items{"4", "8", "16", "2", "32", "64", "128", "1"};
const std::vector<std::string> kFat32Items{"2", "4", "16", "32", "64", "8", "1"};
// exFAT: the page's shifts first, then every smaller one in order: 4 KiB and 32 KiB clusters (shifts 3 and 6)
// are what most cards up to 32 GiB carry.
const std::vector<std::string> kExFatItems{"8", "9", "10", "11", "0", "1", "2", "3", "4", "5", "6", "7"};

std::vector<std::string> Texts(const char* format, std::size_t count) {
    std::vector<std::string> texts;
    char text[64];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(text, sizeof text, format, static_cast<int>(i));
        texts.emplace_back(text);
    }
    return texts;
}

// What the entries tell leads the lists; the fixed items keep their order after it.
void PutInferredFirst(DeepDiscovery& found, const DamagedVolumeSearch& search) {
    std::uint64_t factor = search.inferredClusterBytes / 512;
    if (found.kind == DiscoveryKind::ExFat) factor = static_cast<std::uint64_t>(std::countr_zero(factor));
    const std::string spc = std::to_string(factor);
    auto& items = found.sectorsPerClusterTexts;
    if (const auto at = std::find(items.begin(), items.end(), spc); at != items.end()) items.erase(at);
    items.insert(items.begin(), spc);
    char text[128];
    std::snprintf(text, sizeof text, "geometry from %zu entries: cluster %llu bytes, data at sector %llu",
                  found.kind == DiscoveryKind::ExFat ? search.inferredVotes : search.inferredVotes + 1, static_cast<unsigned long long>(search.inferredClusterBytes),
                  static_cast<unsigned long long>(search.inferredDataStart / 512));
    found.geometryText = text;
}

}  // namespace

DiscoveryKind DiscoveryKindForLabel(const std::string& fileSystemLabel) {
    const FileSystemRow* row = FindFileSystem(fileSystemLabel);
    return row ? row->discovery : DiscoveryKind::None;
}

std::unique_ptr<ParserBase> CreateDiscoveryParser(DiscoveryKind kind) {
    const FileSystemRow* row = FindFileSystem(kind);
    return row ? row->create() : nullptr;
}

std::string DiscoveryOpeningStatus(DiscoveryKind kind) {
    if (kind == DiscoveryKind::Fat16 || kind == DiscoveryKind::Fat12) return "Total fat16 Entries Found:";
    if (kind == DiscoveryKind::ExFat) return "Total fat64 Entries Found:";
    return {};
}

std::vector<std::string> SectorsPerClusterList(DiscoveryKind kind, bool bootValid, int bootValue) {
    std::vector<std::string> texts;
    if (kind == DiscoveryKind::None) return texts;
    if (kind == DiscoveryKind::ExFat) {
        if (bootValid) texts.push_back(std::to_string(bootValue));
        for (const std::string& item : kExFatItems)
            if (texts.empty() || item != texts.front()) texts.push_back(item);
        return texts;
    }
    // The boot sector's value leads when it is a usable cluster factor (a power of two up to 128).
    const bool usable = bootValue > 0 && bootValue <= 128 && (bootValue & (bootValue - 1)) == 0;
    const std::vector<std::string>& items = kind == DiscoveryKind::Fat32 ? kFat32Items : kFat16Items;
    if (bootValid && usable) texts.push_back(std::to_string(bootValue));
    for (const std::string& item : items) {
        // The trailing "1" only when the boot sector did not already offer it.
        if (item == "1" && !texts.empty() && texts.front() == "1") continue;
        texts.push_back(item);
    }
    return texts;
}

int SectorsPerClusterValue(const std::string& text) {
    const std::uint64_t value = LeadingNumber(text);
    return value > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(value);
}

DeepDiscovery RunDeepDiscovery(ParserBase& parser, DiscoveryKind kind, readWriteInterface* reader,
                               const VolumeEntry& volume, int maxFileSystems) {
    DeepDiscovery found;
    found.kind = kind;
    found.maxFileSystems = EffectiveMaxFileSystems(maxFileSystems);
    if (kind == DiscoveryKind::None) return found;
    std::optional<DamagedVolumeSearch> search = parser.SearchDamagedVolume(reader, volume, found.maxFileSystems);
    if (!search) return found;
    found.bootValid = search->bootValid;
    found.stopped = search->stopped;
    found.fatOffsets = std::move(search->fatOffsets);
    found.heapOffsets = std::move(search->heapOffsets);
    found.sectorsPerClusterTexts = SectorsPerClusterList(kind, found.bootValid, search->bootSectorsPerCluster);
    // exFAT's boot sector states its geometry outright; the vote leads only without it.
    if (search->inferredVotes > 0 && (kind != DiscoveryKind::ExFat || !found.bootValid))
        PutInferredFirst(found, *search);
    found.looksFormatted = search->looksFormatted;
    if (found.looksFormatted)
        found.formattedText = "The volume looks quick-formatted: its FAT is empty, yet " +
                              std::to_string(search->foldersOnFreeClusters) +
                              " folders lie in its data area on clusters the FAT marks free.";
    const int count = static_cast<int>(found.fatOffsets.size());
    char text[256];
    if (kind == DiscoveryKind::ExFat) {
        found.candidateTexts = Texts("FAT64_ENTRY:%d", found.fatOffsets.size());
        found.heapTexts = Texts("HEAP_OFFSET_ENTRY:%d", found.heapOffsets.size());
        std::snprintf(text, sizeof text,
                      "Number of FAT64-ENTRY found = %d and Number of HeapOffset-ENTRY found =  %d  . Please select "
                      "the choice from ( Entry and Heap ) Combobox and click Next button to proceed.",
                      count, static_cast<int>(found.heapOffsets.size()));
        found.message = text;
        return found;
    }
    const bool fat32 = kind == DiscoveryKind::Fat32;
    found.candidateTexts = Texts(fat32 ? "FAT32_ENTRY:%d" : "FAT_ENTRY:%d", found.fatOffsets.size());
    if (fat32 && count == 0) {
        found.message = "NO FAT  FAT32-ENTRY found ..";
    } else {
        std::snprintf(text, sizeof text,
                      fat32
                          ? "Number of FAT32-ENTRY found = %d . Please select the choice from combo box and "
                            "click Next button to proceed."
                          : "Number of FAT-ENTRY found = %d . Please select the choice from combo box and "
                            "click Next button to proceed.",
                      count);
        found.message = text;
    }
    return found;
}

}  // namespace salvora
