#pragma once
// The values of the attributes the tree needs: $STANDARD_INFORMATION, $FILE_NAME and $ATTRIBUTE_LIST entries.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/bytes.h"

namespace salvora {

// Times are 100 ns intervals since 1601-01-01 UTC, as stored.
struct NtfsStandardInformation {
    std::uint64_t created = 0;   // 0x00
    std::uint64_t modified = 0;  // 0x08
    std::uint64_t changed = 0;   // 0x10 (the record's change)
    std::uint64_t accessed = 0;  // 0x18
    std::uint32_t dosAttributes = 0;  // 0x20
};
// Nothing when the value is shorter than 0x24 bytes.
std::optional<NtfsStandardInformation> DecodeNtfsStandardInformation(Bytes value);

enum class NtfsNamespace : std::uint8_t { Posix = 0, Win32 = 1, Dos = 2, Win32AndDos = 3 };

struct NtfsFileName {
    std::uint64_t parent = 0;  // 0x00, a file reference
    std::uint64_t created = 0, modified = 0, changed = 0, accessed = 0;  // 0x08..0x20
    std::uint64_t allocatedSize = 0;  // 0x28
    std::uint64_t dataSize = 0;       // 0x30
    std::uint32_t flags = 0;          // 0x38 (0x10000000: a directory)
    NtfsNamespace nameSpace = NtfsNamespace::Posix;  // 0x41
    std::u16string name;              // 0x40 length in units, the units at 0x42
};
// Nothing when the value is too short for its name or the namespace byte is none of the four.
std::optional<NtfsFileName> DecodeNtfsFileName(Bytes value);
// Which of two names of one record a listing shows: Win32 or POSIX over DOS (8.3).
bool NtfsNameBetter(NtfsNamespace candidate, NtfsNamespace current);

struct NtfsAttributeListEntry {
    std::uint32_t type = 0;        // 0x00
    std::uint16_t length = 0;      // 0x04
    std::u16string name;           // 0x06 length, 0x07 offset
    std::uint64_t firstVcn = 0;    // 0x08
    std::uint64_t record = 0;      // 0x10, a file reference
    std::uint16_t id = 0;          // 0x18
};
// The entries of an $ATTRIBUTE_LIST value, in order, ending at the first one whose length is zero or runs past
// the value.
std::vector<NtfsAttributeListEntry> DecodeNtfsAttributeList(Bytes value);

// The UTF-16 name as UTF-8 (unpaired surrogates become U+FFFD).
std::string NtfsNameUtf8(const std::u16string& name);

}  // namespace salvora
