#pragma once
// Finds the volumes of a source: by its partition tables (MBR with its EBR chain, or GPT), or by testing every
// sector for a boot sector when the tables are lost.
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "io/file_read_seek.h"
#include "io/ui_sink.h"
#include "volumes/volume_entry.h"

namespace salvora {

class Partition {
public:
    UiSink* statusWindow = nullptr;    // status texts; null sends them to Ui()
    UiSink* progressWindow = nullptr;  // advance scan progress (range 0..1000); null sends it to Ui()
    bool skipFoundVolumes = false;
    std::atomic<bool> stopRequested{false};
    std::uint64_t rangeStartSector = 0;
    // Bytes the last boot-sector scan could not read (bad sectors it skipped over and could not read later).
    std::uint64_t unreadableBytes = 0;
    std::uint64_t rangeEndSector = 0;
    std::vector<VolumeEntry>* volumeList = nullptr;  // the owner page's list; records are appended in order found
    bool useGpt = false;
    // Walk the GPT also without useGpt when sector 0 is a protective MBR and sector 1 a GPT header.
    bool findGpt = false;
    // Advance scan: called for each recorded volume as it is found (the page inserts its row then).
    std::function<void(const VolumeEntry&)> onVolumeRecorded;

    // 0, or the errno of the read that ended the scan (records found before it stay).
    std::uint32_t ScanPartitionTables(FileReadSeek& reader);
    std::uint32_t ScanForBootSectors(FileReadSeek& reader);
    bool IsExfatBootSector(FileReadSeek& reader, std::uint64_t sector);
    bool IsHfsPlusHeader(FileReadSeek& reader, std::uint64_t sector);
};

}  // namespace salvora
