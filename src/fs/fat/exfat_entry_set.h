#pragma once
// exFAT on-disk structures: the boot sector fields the parser uses, directory entry sets (File, Stream
// extension, File name) and the record kept per entry set. Pure decoders over byte buffers; no I/O here.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "io/bytes.h"

namespace salvora {

inline constexpr std::size_t kExFatSlotBytes = 32;

// Type bytes. A deleted set keeps its bytes with the in-use bit (0x80) cleared.
inline constexpr std::uint8_t kExFatFile = 0x85;
inline constexpr std::uint8_t kExFatFileDeleted = 0x05;
inline constexpr std::uint8_t kExFatStream = 0xC0;
inline constexpr std::uint8_t kExFatStreamDeleted = 0x40;
inline constexpr std::uint8_t kExFatName = 0xC1;
inline constexpr std::uint8_t kExFatNameDeleted = 0x41;
inline constexpr std::uint8_t kExFatBitmap = 0x81;
inline constexpr std::uint8_t kExFatVolumeLabel = 0x83;

// General secondary flags of the stream extension.
inline constexpr std::uint8_t kExFatFlagsFatChain = 1;
inline constexpr std::uint8_t kExFatFlagsContiguous = 3;

// A File entry is followed by 2 to 18 secondary entries: one stream extension and 1 to 17 name entries.
inline constexpr std::uint8_t kExFatMinSecondary = 2;
inline constexpr std::uint8_t kExFatMaxSecondary = 18;
inline constexpr std::size_t kExFatUnitsPerNameSlot = 15;

inline constexpr std::uint32_t kExFatEndOfChain = 0xFFFFFFFF;
// exFAT directories are at most 256 MiB long.
inline constexpr std::uint64_t kExFatMaxDirectoryBytes = 256ull << 20;

inline constexpr const char* kExFatDummyName = "DUMMY ENTRY";
// An entry set whose name entries are missing or empty.
inline constexpr const char* kExFatUnnamed = "(unnamed)";
inline constexpr const char* kExFatOrphanName = "ORPHAN ENTRY";
inline constexpr std::uint32_t kExFatNoEntry = 0xFFFFFFFF;

struct ExFatBoot {
    std::uint64_t volumeLengthSectors = 0;    // 72
    std::uint32_t fatOffsetSectors = 0;       // 80
    std::uint32_t heapOffsetSectors = 0;      // 88
    std::uint32_t rootCluster = 0;            // 96
    std::uint8_t bytesPerSectorShift = 0;     // 108
    std::uint8_t sectorsPerClusterShift = 0;  // 109
    std::uint64_t BytesPerSector() const { return 1ull << bytesPerSectorShift; }
    std::uint64_t ClusterBytes() const { return 1ull << (bytesPerSectorShift + sectorsPerClusterShift); }
};

// nullopt unless bytes 3-7 read EXFAT and the shifts give sectors of 512 B..4 KiB and clusters of at most 32
// MiB (larger shifts are not exFAT and would overflow every offset computed from them).
std::optional<ExFatBoot> DecodeExFatBoot(Bytes sector);

// One entry set as the parser keeps it. Names are UTF-8; links are record indexes (kExFatNoEntry for none).
struct ExFatEntryRecord {
    std::uint8_t entryType = kExFatFile;  // 0x85 live, 0x05 deleted
    std::uint16_t attributes = 0;
    std::uint32_t creationTimestamp = 0;
    std::uint32_t lastModifiedTimestamp = 0;
    std::uint32_t lastAccessedTimestamp = 0;
    std::uint8_t creation10ms = 0;
    std::uint8_t lastModified10ms = 0;
    std::uint8_t creationUtcOffset = 0;
    std::uint8_t lastModifiedUtcOffset = 0;
    std::uint8_t lastAccessedUtcOffset = 0;
    std::uint8_t streamType = 0;
    std::uint8_t streamFlags = 0;
    std::uint8_t nameLength = 0;
    std::uint64_t validDataLength = 0;
    std::uint32_t firstCluster = 0;
    std::uint64_t dataLength = 0;
    std::string name;
    std::uint32_t parentIndex = 0;
    std::uint32_t selfIndex = 0;
    std::uint32_t firstChild = kExFatNoEntry;
    std::uint32_t nextSibling = kExFatNoEntry;

    bool Deleted() const { return entryType == kExFatFileDeleted; }
};

// Attribute words that make an entry set a directory (exact values, as on FAT): walked, shown and saved as
// folders.
bool IsExFatDirectory(std::uint16_t attributes);

inline bool IsExFatFileType(std::uint8_t t) { return t == kExFatFile || t == kExFatFileDeleted; }
inline bool IsExFatStreamType(std::uint8_t t) { return t == kExFatStream || t == kExFatStreamDeleted; }
inline bool IsExFatNameType(std::uint8_t t) { return t == kExFatName || t == kExFatNameDeleted; }

struct DecodedEntrySet {
    ExFatEntryRecord record;  // indexes left for the caller
    std::size_t slots = 0;    // slots consumed, the File entry included
};

// Reads the entry set whose File entry is at `off` in a directory buffer: the File entry, an optional stream
// extension, then the consecutive name slots (at most secondary count - 1, each read up to its first NUL; the
// name length field is not applied). nullopt when the slot is no File entry or its secondary count is
// outside 2..18.
std::optional<DecodedEntrySet> DecodeEntrySet(Bytes dir, std::size_t off);

// The deep scan's stricter test of a File entry at `off`: plausible attributes, zero reserved fields, a
// stream extension with flags 1 or 3, then exactly ceil(name length / 15) name slots with flags 0..3.
bool LooksLikeEntrySet(Bytes buf, std::size_t off);

// Volume label entry as the deep scan takes it for the root directory's mark.
bool LooksLikeVolumeLabel(Bytes buf, std::size_t off);

// UTF-16 units (little-endian pairs) to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const std::u16string& units);

}  // namespace salvora
