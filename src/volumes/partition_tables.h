#pragma once
// Decoders for the MBR / EBR slot table and the GPT header and entries, over bytes already read.
#include <array>
#include <cstdint>
#include <string>

#include "io/bytes.h"
#include "io/file_read_seek.h"

namespace salvora {

inline constexpr int kMbrSlotCount = 4;

struct MbrSlot {
    std::uint8_t type = 0;
    std::uint32_t firstLba = 0;
    std::uint32_t sectorCount = 0;
};

// Slot 0..3 of an MBR or EBR sector; LooksLikeMbr says whether the sector holds a table at all.
MbrSlot DecodeMbrSlot(Bytes tableSector, int slot);
// The 0x55AA signature and a boot flag of 0x00 or 0x80 in every slot, as every partitioning tool writes them.
// Any sector 0 without them (a container's header, an encrypted volume, a bare file system's boot code) would
// give rows of random numbers; a table too damaged for this is a case for the boot-sector scan.
bool LooksLikeMbr(Bytes sector);
inline bool IsExtendedType(std::uint8_t type) { return type == 0x05 || type == 0x0F; }

inline constexpr std::size_t kGptEntryBytes = 128;
inline constexpr std::size_t kGptEntryArrayBytes = 80 * kGptEntryBytes;  // read in one go
inline constexpr std::size_t kGptMaxEntries = 72;

struct GptEntry {
    std::array<std::uint8_t, 16> typeGuid{};
    std::int64_t firstLba = 0;
    std::int64_t lastLba = 0;  // inclusive
    std::string name;          // UTF-8
};

// A protective MBR (a slot of type 0xEE) in sector 0 and "EFI PART" opening sector 1, in the first 1024 bytes.
bool LooksLikeGpt(Bytes firstTwoSectors);

// Whether the open source has a GPT, by LooksLikeGpt; the reader's base offset is left as found.
bool HasGpt(FileReadSeek& reader);

// The partition-entry LBA of the header in sector 1 (offset 72); the header's signature is not required.
std::uint64_t GptEntryArrayLba(Bytes headerSector);
GptEntry DecodeGptEntry(Bytes entry);
// An entry is taken while none of the first four type-GUID bytes is 0x30 and it starts past sector 2.
bool IsCollectableGptEntry(const GptEntry& entry);

// UTF-16LE to UTF-8, at most maxUnits code units, ending at the first NUL. Unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(Bytes units, std::size_t maxUnits);

}  // namespace salvora
