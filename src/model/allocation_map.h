#pragma once
// Which allocation units (clusters, blocks) of a volume its file system holds in use, and what that says of a
// deleted file: are the places its content lay still free, or has something been written over them?
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/entry_content.h"

namespace salvora {

enum class Verdict : std::uint8_t {
    Intact,       // live
    Recoverable,  // deleted; every unit its content needs is free
    Partial,      // deleted; some of them are in use now
    Overwritten,  // deleted; the first of them or all are in use, or the file system cleared the map
    Unknown,      // no allocation data to judge by
};

// "intact", "recoverable", "partial", "overwritten", "unknown".
const char* VerdictName(Verdict verdict);
std::optional<Verdict> ParseVerdict(std::string_view name);

struct EntryVerdict {
    Verdict verdict = Verdict::Unknown;
    std::uint64_t bytesInUse = 0;   // of the content's bytes on the source, those lying in units in use
    std::uint64_t bytesNeeded = 0;  // the content's bytes on the source (and those no run reaches)
};

class AllocationMap {
public:
    AllocationMap() = default;
    // Unit 0 begins at source byte firstUnitAt; every unit is free until marked.
    AllocationMap(std::uint64_t firstUnitAt, std::uint64_t unitBytes, std::uint64_t units);

    std::uint64_t Units() const { return units_; }
    std::uint64_t UnitBytes() const { return unitBytes_; }
    void MarkInUse(std::uint64_t unit);
    void MarkInUse(std::uint64_t first, std::uint64_t count);
    bool InUse(std::uint64_t unit) const;
    // Bits as the file system stores them (bit i % 8 of byte i / 8 for unit firstBit + i; msbFirst: bit
    // 7 - i % 8, as HFS+ keeps them), for bitmaps on disk.
    void MarkFromBitmap(const std::uint8_t* bits, std::uint64_t bitCount, std::uint64_t firstBit,
                        bool msbFirst = false);
    // Bytes of [at, at + length) on the source lying in units in use; bytes outside the map count as in use,
    // since nothing of a file's content lies there but metadata.
    std::uint64_t BytesInUse(std::uint64_t at, std::uint64_t length) const;

private:
    std::uint64_t firstUnitAt_ = 0;
    std::uint64_t unitBytes_ = 1;
    std::uint64_t units_ = 0;
    std::vector<std::uint64_t> words_;
};

// The verdict on a deleted file's content against the map: bytes its runs cannot reach count as lost.
// Content with no bytes on the source (resident, holes, empty) is recoverable.
EntryVerdict JudgeContent(const AllocationMap& map, const EntryContent& content);

}  // namespace salvora
