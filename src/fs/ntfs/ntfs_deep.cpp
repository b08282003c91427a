// The advanced run of the NTFS parser, for a volume whose boot sector and its backup are both gone: the MFT is
// found by its own first record.
#include <algorithm>
#include <cstdio>
#include <map>

#include "fs/ntfs/ntfs_class.h"
#include "fs/ntfs/ntfs_record.h"
#include "io/pause_gate.h"
#include "io/read_ahead.h"

namespace salvora {
namespace {

constexpr std::size_t kReadBytes = 1u << 20;

// The $MFT record's unnamed $DATA runlist, when the record at `bytes` is record 0 of an MFT.
std::optional<std::pair<std::vector<NtfsRun>, std::uint64_t>> MftRuns(std::span<std::uint8_t> bytes) {
    if (ApplyNtfsFixups(bytes) != NtfsFixup::Applied) return std::nullopt;
    const auto header = DecodeNtfsRecordHeader(bytes);
    if (!header || header->baseRecord != 0 || !header->InUse()) return std::nullopt;
    NtfsAttributeWalk walk(bytes, *header);
    bool named = false;
    std::optional<std::pair<std::vector<NtfsRun>, std::uint64_t>> out;
    while (auto a = walk.Next()) {
        if (a->type == kNtfsFileName && !a->nonResident && a->value.size() >= 0x42 + 8) {
            // "$MFT" in UTF-16
            static constexpr std::uint8_t kName[] = {'$', 0, 'M', 0, 'F', 0, 'T', 0};
            named |= a->value[0x40] == 4 && std::equal(std::begin(kName), std::end(kName), a->value.begin() + 0x42);
        }
        if (a->type == kNtfsData && a->nonResident && a->name.empty() && a->firstVcn == 0) {
            // A generous bound: the cluster size is not known yet.
            if (auto runs = DecodeNtfsRunlist(a->runlist, 0, ~std::uint64_t{0} >> 8); runs && !runs->empty())
                out.emplace(std::move(*runs), a->dataSize);
        }
    }
    if (!named) return std::nullopt;
    return out;
}

}  // namespace

bool NtfsClass::InferBootFromRecords(const ScanRequest& request) {
    reader_ = request.source;
    window_ = VolumeWindow::Over(reader_, request.volume.startSector * 512, request.volume.sizeBytes);
    std::uint64_t bound = request.volume.sizeBytes;
    if (reader_ && reader_->sourceLength > window_.First())
        bound = std::max(bound, reader_->sourceLength - window_.First());
    if (bound == 0) return false;
    auto& status = Status();
    status.SetStatus("no boot sector: searching the volume for MFT records");
    status.SetProgressRange(0, 1000);
    // Every copy of record 0 ($MFT and its mirror) votes for the cluster sizes under which its runlist's first
    // cluster is where it lies.
    std::map<std::uint64_t, std::size_t> votes;  // cluster bytes -> copies that agree
    struct Found {
        std::uint64_t at;
        std::uint32_t recordBytes;
        std::vector<NtfsRun> runs;
        std::uint64_t dataSize;
    };
    std::vector<Found> found;
    std::uint64_t records = 0;
    ReadAhead blocks([this](std::uint64_t at, std::span<std::uint8_t> out) { window_.ReadAt(at, out); }, 0, bound,
                     kReadBytes, 4096);
    std::vector<std::uint8_t> copy;
    for (;;) {
        if (PollStop(stopRequested)) break;
        const ReadAhead::Block block = blocks.Next();
        if (!block) break;
        status.SetProgressPos(static_cast<std::int64_t>(static_cast<double>(block.at) / bound * 1000));
        for (std::size_t s = 0; s < block.length; s += kSectorBytes) {
            const std::uint8_t* p = block.bytes.data() + s;
            if (p[0] != 'F' || p[1] != 'I' || p[2] != 'L' || p[3] != 'E') continue;
            ++records;
            const std::uint32_t recordBytes = le32(block.bytes, s + 0x1C);
            if (recordBytes < 1024 || recordBytes > 4096 || (recordBytes & (recordBytes - 1)) ||
                s + recordBytes > block.bytes.size() || le32(block.bytes, s + 0x2C) != 0)
                continue;
            copy.assign(p, p + recordBytes);
            auto runs = MftRuns(copy);
            if (!runs || found.size() >= 64) continue;
            found.push_back({block.at + s, recordBytes, std::move(runs->first), runs->second});
        }
    }
    for (const Found& f : found) {
        const NtfsRun& first = f.runs.front();
        if (!first.lcn || *first.lcn == 0) continue;
        for (std::uint64_t c = 512; c <= (2u << 20); c *= 2)
            if (*first.lcn * c == f.at) ++votes[c];
    }
    char text[200];
    if (votes.empty()) {
        if (records == 0)
            std::snprintf(text, sizeof text, "no MFT record was found on the volume");
        else
            std::snprintf(text, sizeof text,
                          "no MFT found: %llu records were found, but none is the MFT's first where its runlist puts it",
                          static_cast<unsigned long long>(records));
        status.SetStatus(text);
        status.ShowMessage(text, "Salvora", MsgIcon::Information, MsgButtons::Ok);
        return false;
    }
    const auto best = std::max_element(votes.begin(), votes.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
    const std::uint64_t cluster = best->first;
    // The MFT's own copy (not the mirror, which holds only its first records) is the longer runlist.
    const Found* mft = nullptr;
    for (const Found& f : found)
        if (f.runs.front().lcn && *f.runs.front().lcn * cluster == f.at && (!mft || f.dataSize > mft->dataSize)) mft = &f;
    boot_ = {};
    boot_.bytesPerSector = kSectorBytes;
    boot_.clusterBytes = static_cast<std::uint32_t>(cluster);
    boot_.totalSectors = bound / kSectorBytes;
    boot_.mftCluster = *mft->runs.front().lcn;
    boot_.mirrorCluster = boot_.mftCluster;
    boot_.recordBytes = mft->recordBytes;
    std::snprintf(text, sizeof text, "geometry from the MFT's first record: cluster %llu bytes, MFT at cluster %llu",
                  static_cast<unsigned long long>(cluster), static_cast<unsigned long long>(boot_.mftCluster));
    status.SetStatus(text);
    return true;
}

}  // namespace salvora
