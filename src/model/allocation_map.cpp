#include "model/allocation_map.h"

#include <algorithm>
#include <bit>

namespace salvora {

const char* VerdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Intact: return "intact";
        case Verdict::Recoverable: return "recoverable";
        case Verdict::Partial: return "partial";
        case Verdict::Overwritten: return "overwritten";
        case Verdict::Unknown: break;
    }
    return "unknown";
}

std::optional<Verdict> ParseVerdict(std::string_view name) {
    for (Verdict v : {Verdict::Intact, Verdict::Recoverable, Verdict::Partial, Verdict::Overwritten, Verdict::Unknown})
        if (name == VerdictName(v)) return v;
    return std::nullopt;
}

AllocationMap::AllocationMap(std::uint64_t firstUnitAt, std::uint64_t unitBytes, std::uint64_t units)
    : firstUnitAt_(firstUnitAt), unitBytes_(unitBytes ? unitBytes : 1), units_(units), words_((units + 63) / 64) {}

void AllocationMap::MarkInUse(std::uint64_t unit) {
    if (unit < units_) words_[unit / 64] |= std::uint64_t{1} << (unit % 64);
}

void AllocationMap::MarkInUse(std::uint64_t first, std::uint64_t count) {
    if (first >= units_) return;
    const std::uint64_t end = first + std::min(count, units_ - first);
    for (std::uint64_t u = first; u < end;) {
        if (u % 64 == 0 && end - u >= 64) {
            words_[u / 64] = ~std::uint64_t{0};
            u += 64;
        } else {
            MarkInUse(u++);
        }
    }
}

bool AllocationMap::InUse(std::uint64_t unit) const {
    return unit < units_ && (words_[unit / 64] >> (unit % 64) & 1) != 0;
}

void AllocationMap::MarkFromBitmap(const std::uint8_t* bits, std::uint64_t bitCount, std::uint64_t firstBit,
                                   bool msbFirst) {
    for (std::uint64_t i = 0; i < bitCount; ++i) {
        const std::uint8_t byte = bits[i / 8];
        if (byte == 0 && i % 8 == 0) {
            i += 7;
            continue;
        }
        if (byte >> (msbFirst ? 7 - i % 8 : i % 8) & 1) MarkInUse(firstBit + i);
    }
}

std::uint64_t AllocationMap::BytesInUse(std::uint64_t at, std::uint64_t length) const {
    std::uint64_t inUse = 0;
    const std::uint64_t end = at + length;
    const std::uint64_t mapEnd = firstUnitAt_ + units_ * unitBytes_;
    if (at < firstUnitAt_) {
        const std::uint64_t before = std::min(end, firstUnitAt_) - at;
        inUse += before;
        at += before;
    }
    if (end > mapEnd && at < end) {
        const std::uint64_t from = std::max(at, mapEnd);
        inUse += end - from;
    }
    const std::uint64_t stop = std::min(end, mapEnd);
    while (at < stop) {
        const std::uint64_t unit = (at - firstUnitAt_) / unitBytes_;
        const std::uint64_t unitEnd = firstUnitAt_ + (unit + 1) * unitBytes_;
        const std::uint64_t piece = std::min(stop, unitEnd) - at;
        if (InUse(unit)) inUse += piece;
        at += piece;
    }
    return inUse;
}

EntryVerdict JudgeContent(const AllocationMap& map, const EntryContent& content) {
    EntryVerdict v;
    bool firstInUse = false;
    bool sawSource = false;
    std::uint64_t covered = 0;
    for (const ContentRun& run : content.runs) {
        if (run.fileOffset >= content.size) break;
        const std::uint64_t length = std::min(run.length, content.size - run.fileOffset);
        if (run.fileOffset > covered) v.bytesNeeded += run.fileOffset - covered, v.bytesInUse += run.fileOffset - covered;
        covered = run.fileOffset + length;
        if (run.kind != RunKind::Source) continue;
        const std::uint64_t used = map.BytesInUse(run.at, length);
        if (!sawSource && used != 0 && map.BytesInUse(run.at, std::min(length, map.UnitBytes())) != 0)
            firstInUse = true;
        sawSource = true;
        v.bytesNeeded += length;
        v.bytesInUse += used;
    }
    if (covered < content.size) {
        v.bytesNeeded += content.size - covered;
        v.bytesInUse += content.size - covered;
    }
    // The file system cleared the map (ext removes a file's blocks from its inode): nothing says where it lay.
    if (!content.whole && !sawSource)
        v.verdict = Verdict::Overwritten;
    else if (v.bytesInUse == 0)
        v.verdict = Verdict::Recoverable;
    else if (firstInUse || v.bytesInUse >= v.bytesNeeded || !sawSource)
        v.verdict = Verdict::Overwritten;
    else
        v.verdict = Verdict::Partial;
    return v;
}

}  // namespace salvora

#include "model/parser_base.h"

namespace salvora {

EntryVerdict ParserBase::Judge(EntryId id) {
    if (!IsDeleted(id)) {
        const std::uint64_t size = IsFolder(id) ? 0 : EntrySizeBytes(id);
        return {Verdict::Intact, 0, size};
    }
    const AllocationMap* map = Allocation();
    if (!map) return {};
    const std::optional<EntryContent> content = Placement(id);
    if (!content) return {};
    return JudgeContent(*map, *content);
}

}  // namespace salvora
