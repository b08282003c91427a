#pragma once
// MFT records ("FILE"): the update-sequence fixups, the header and the walk over its attributes.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "io/bytes.h"

namespace salvora {

inline constexpr std::uint16_t kNtfsRecordInUse = 0x0001;
inline constexpr std::uint16_t kNtfsRecordDirectory = 0x0002;
// A file reference: 48-bit record number, 16-bit sequence number.
inline std::uint64_t NtfsRefRecord(std::uint64_t ref) { return ref & 0x0000FFFFFFFFFFFFull; }
inline std::uint16_t NtfsRefSequence(std::uint64_t ref) { return static_cast<std::uint16_t>(ref >> 48); }

enum class NtfsFixup {
    Applied,      // every sector's last two bytes matched the update sequence number and were restored
    NotARecord,   // no "FILE" signature (a free slot that was never used, or not a record at all)
    Mismatch,     // a sector's last two bytes differ: torn write or damage; the record is not trusted
    BadHeader,    // the update-sequence array does not fit or does not cover the record
};

// Checks and applies the fixups in place. sectorBytes is the stride they protect (512 on every volume made so far;
// the boot sector's bytes per sector otherwise). Unless the result is Applied, not a byte has changed.
NtfsFixup ApplyNtfsFixups(std::span<std::uint8_t> record, std::uint32_t sectorBytes = 512);

struct NtfsRecordHeader {
    std::uint16_t sequence = 0;       // 0x10
    std::uint16_t linkCount = 0;      // 0x12
    std::uint16_t attributesAt = 0;   // 0x14
    std::uint16_t flags = 0;          // 0x16
    std::uint32_t usedBytes = 0;      // 0x18
    std::uint32_t allocatedBytes = 0; // 0x1C
    std::uint64_t baseRecord = 0;     // 0x20, a file reference; 0 for a base record
    std::uint32_t recordNumber = 0;   // 0x2C (records written since Windows XP; 0 before)
    bool InUse() const { return flags & kNtfsRecordInUse; }
    bool Directory() const { return flags & kNtfsRecordDirectory; }
};

// The header of a record whose fixups were applied; nothing when the signature is missing or the attribute offset
// lies outside the record.
std::optional<NtfsRecordHeader> DecodeNtfsRecordHeader(Bytes record);

// One attribute's header; the bytes it spans lie inside the record.
struct NtfsAttribute {
    std::uint32_t type = 0;           // 0x00
    std::uint32_t length = 0;         // 0x04
    bool nonResident = false;         // 0x08
    std::uint16_t flags = 0;          // 0x0C: 0x0001 compressed (LZNT1), 0x4000 encrypted, 0x8000 sparse
    std::uint16_t id = 0;             // 0x0E
    std::u16string name;              // at 0x0A, 0x09 UTF-16 units (streams' names: "" for the unnamed one)
    Bytes bytes;                      // the whole attribute
    // Resident: the value.
    Bytes value;                      // 0x10 length, 0x14 offset
    // Non-resident.
    std::uint64_t firstVcn = 0;       // 0x10
    std::uint64_t lastVcn = 0;        // 0x18
    Bytes runlist;                    // from 0x20's offset to the attribute's end
    std::uint16_t compressionUnit = 0;  // 0x22, log2 of clusters per unit (4 when compressed)
    std::uint64_t allocatedSize = 0;  // 0x28
    std::uint64_t dataSize = 0;       // 0x30
    std::uint64_t initializedSize = 0;  // 0x38
    bool Compressed() const { return flags & 0x0001; }
    bool Encrypted() const { return flags & 0x4000; }
    bool Sparse() const { return flags & 0x8000; }
};

inline constexpr std::uint32_t kNtfsStandardInformation = 0x10;
inline constexpr std::uint32_t kNtfsAttributeList = 0x20;
inline constexpr std::uint32_t kNtfsFileName = 0x30;
inline constexpr std::uint32_t kNtfsData = 0x80;
inline constexpr std::uint32_t kNtfsIndexRoot = 0x90;
inline constexpr std::uint32_t kNtfsIndexAllocation = 0xA0;
inline constexpr std::uint32_t kNtfsBitmap = 0xB0;
inline constexpr std::uint32_t kNtfsEndMarker = 0xFFFFFFFF;

// The attributes of a record in order, ending at the end marker, at usedBytes or at the first attribute whose
// length is zero, unaligned or runs past the record (a damaged tail is cut, never read past).
class NtfsAttributeWalk {
  public:
    NtfsAttributeWalk(Bytes record, const NtfsRecordHeader& header);
    std::optional<NtfsAttribute> Next();

  private:
    Bytes record_;
    std::size_t at_ = 0;
    std::size_t end_ = 0;
};

// Decodes one attribute at offset in bytes (also used for entries of attribute lists' targets).
std::optional<NtfsAttribute> DecodeNtfsAttribute(Bytes bytes, std::size_t offset, std::size_t end);

}  // namespace salvora
