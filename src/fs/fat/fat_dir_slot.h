#pragma once
// The 32-byte directory slot and the long-name slot, shared by the FAT16 and FAT32 walks, and the assembly of
// a long-name run into the name it gives the short entry after it.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fs/fat/fat_entry_record.h"
#include "fs/fat/fat_names.h"
#include "io/bytes.h"

namespace salvora {

inline constexpr std::size_t kSlotBytes = 32;
inline constexpr std::uint8_t kSlotFree = 0x00;
inline constexpr std::uint8_t kSlotDeleted = 0xE5;
inline constexpr std::uint8_t kSlotDot = '.';

struct FatDirSlot {
    std::uint8_t firstByte = 0;
    std::uint8_t attributes = 0;
    std::uint8_t caseFlags = 0;  // 0x08: base in lower case, 0x10: extension in lower case
    std::uint8_t creationTimeTenths = 0;
    std::uint16_t creationTime = 0;
    std::uint16_t creationDate = 0;
    std::uint16_t lastAccessDate = 0;
    std::uint16_t firstClusterHigh = 0;
    std::uint16_t lastWriteTime = 0;
    std::uint16_t lastWriteDate = 0;
    std::uint16_t firstClusterLow = 0;
    std::uint32_t fileSize = 0;

    bool IsLongName() const { return attributes == kAttrLongName; }
    bool IsDeleted() const { return firstByte == kSlotDeleted; }
    std::uint32_t FirstCluster() const {
        return (static_cast<std::uint32_t>(firstClusterHigh) << 16) | firstClusterLow;
    }
};

FatDirSlot DecodeFatDirSlot(Bytes slot);
// Could the slot be a short entry at all? Leftovers of long-name slots and other garbage fail: control
// characters in the name; for deleted slots also a write date or time that cannot be, or a file larger than
// the volume (volumeBytes 0: unknown).
bool ShortSlotPlausible(Bytes slot, const FatDirSlot& decoded, std::uint64_t volumeBytes);
// A record with the slot's fields (bytes 11-31); name, deleted flag and links are the walk's.
FatEntryRecord RecordFromSlot(const FatDirSlot& slot);
// The slot's 8.3 name as shown: files tidied per FAT type, folders without padding; the case flags of byte 12
// apply.
std::string ShortEntryName(Bytes slot, FatKind kind);

struct LongNamePiece {
    std::array<char16_t, 13> units{};
    std::size_t length = 0;  // units before the first NUL (13 when there is none)
    bool deleted = false;    // sequence byte 0xE5
    std::uint8_t sequence = 0;  // 1 for the name's first piece; 0x40 marks its last
    std::uint8_t checksum = 0;  // of the short entry the piece belongs to
};

// The checksum long-name slots carry of their short entry's 11 name bytes.
std::uint8_t ShortNameChecksum(Bytes slot);
// A long name whose end is lost keeps the short name's extension (in lower case) when it lacks it.
std::string WithShortExtension(std::string name, Bytes shortSlot, FatKind kind);

LongNamePiece DecodeLongNameSlot(Bytes slot);

// Consecutive long-name slots in disk order. A run holds at most kMaxSlots slots (255 characters, the most
// the format allows); one more slot starts a new run. No checksum or sequence number is checked.
class LongNameRun {
  public:
    static constexpr std::size_t kMaxSlots = 20;

    void Add(Bytes slot);
    void Clear();
    bool Empty() const { return pieces_.empty(); }
    std::size_t Slots() const { return pieces_.size(); }
    // Did the run's first slot (the name's last piece) begin with 0xE5?
    bool FirstDeleted() const { return !pieces_.empty() && pieces_.front().deleted; }
    // The pieces from the last collected slot back to the first, as UTF-8.
    std::string Assemble() const;
    // The pieces that belong to shortSlot: those nearest it that carry its checksum (any first byte for a
    // deleted one), in name order from its first piece. taken 0 when the first piece is not among them; last
    // false when the name goes on in slots that are not here.
    struct Match {
        std::u16string units;
        std::size_t taken = 0;
        bool last = false;
    };
    Match MatchFor(Bytes shortSlot) const;
    const std::vector<LongNamePiece>& Pieces() const { return pieces_; }

  private:
    std::vector<LongNamePiece> pieces_;
};

}  // namespace salvora
