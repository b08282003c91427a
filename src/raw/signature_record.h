#pragma once
// The signature settings file: fixed 171-byte little-endian records, no header, no separators. Decoding and
// encoding are byte for byte, reserved fields included, so a record read and written back is unchanged.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/bytes.h"

namespace salvora {

inline constexpr std::size_t kRecordBytes = 171;
inline constexpr std::size_t kSignatureBytes = 10;
inline constexpr std::size_t kExtensionUnits = 4;
inline constexpr std::size_t kCategoryUnits = 50;  // 100 bytes: 49 characters and the terminator
inline constexpr std::uint64_t kMaxSettingsFileBytes = 1048576;
inline constexpr std::size_t kMaxSignatureTypes =
    128;  // the carving engine keeps one pending queue per index below this

// Field offsets inside a record.
namespace record_off {
inline constexpr std::size_t extension = 0x00;
inline constexpr std::size_t reserved08 = 0x08;
inline constexpr std::size_t extensionLength = 0x0A;
inline constexpr std::size_t startSignature = 0x0B;
inline constexpr std::size_t endSignature = 0x15;
inline constexpr std::size_t startLength = 0x1F;
inline constexpr std::size_t endLength = 0x20;
inline constexpr std::size_t recordIndex = 0x21;
inline constexpr std::size_t sizeFieldOffset = 0x22;
inline constexpr std::size_t sizeFieldWidth = 0x26;
inline constexpr std::size_t headerSize = 0x2A;
inline constexpr std::size_t sizeIncludesHeader = 0x2E;
inline constexpr std::size_t reserved2F = 0x2F;
inline constexpr std::size_t approxSize = 0x33;
inline constexpr std::size_t skipBytes = 0x3B;
inline constexpr std::size_t category = 0x43;
inline constexpr std::size_t reservedA7 = 0xA7;
}  // namespace record_off

struct SignatureRecord {
    std::array<std::uint16_t, kExtensionUnits> extension{};  // UTF-16 code units, zero-padded
    std::uint16_t reserved08 = 0;
    std::uint8_t extensionLength = 0;  // characters typed; may exceed the 4 stored
    std::array<std::uint8_t, kSignatureBytes> startSignature{};
    std::array<std::uint8_t, kSignatureBytes> endSignature{};
    std::uint8_t startLength = 0;
    std::uint8_t endLength = 0;
    std::uint8_t recordIndex = 0;
    std::int32_t sizeFieldOffset = 0;
    std::int32_t sizeFieldWidth = 0;
    std::int32_t headerSize = 0;
    std::uint8_t sizeIncludesHeader = 0;
    std::uint32_t reserved2F = 0;
    std::int64_t approxSize = 0;
    std::int64_t skipBytes = 0;
    std::array<std::uint16_t, kCategoryUnits> category{};
    std::uint32_t reservedA7 = 0;
};

// Reads a record from the first 171 bytes of buf; missing bytes read as zero.
SignatureRecord DecodeRecord(Bytes buf);
std::array<std::uint8_t, kRecordBytes> EncodeRecord(const SignatureRecord& record);

// The extension as text: up to its first zero unit or 4 units. The category: up to its first zero unit.
std::string ExtensionText(const SignatureRecord& record);
std::string CategoryText(const SignatureRecord& record);

// UTF-8 <-> UTF-16 for the record's texts; bad sequences become U+FFFD.
std::string Utf16ToUtf8(const std::uint16_t* units, std::size_t count);
std::u16string Utf8ToUtf16(const std::string& text);

// What the signature editor's boxes hold, as typed.
struct SignatureFields {
    std::string extension;
    std::string startSignature;
    std::string endSignature;
    std::string sizeFieldOffset;
    std::string sizeFieldWidth;
    bool sizeIncludesHeader = false;
    std::string headerSize;
    std::string skipBytes;
    std::string approxSize;
    std::string category;
};

// A comma list of hex bytes: empty and blank pieces skipped, leading blanks skipped, optional "0x", reading
// stops at the first non-hex character, the low 8 bits kept. A piece with no hex digit at all gives 0.
std::vector<std::uint8_t> ParseHexList(const std::string& text);
// The leading decimal integer of a box (blanks and a sign allowed before the digits); empty or none = 0.
std::int64_t ParseLeadingDecimal(const std::string& text);
// Keeps the digits of typed text: the rule of the editor's number boxes.
std::string DigitsOnly(const std::string& text);

enum class RecordProblem { None, EmptyExtension, EmptyStartSignature, SignatureTooLong };

// The record the editor's Save builds from its boxes, with index as its record index.
struct BuiltRecord {
    RecordProblem problem = RecordProblem::None;
    SignatureRecord record;
};
BuiltRecord BuildRecord(const SignatureFields& fields, std::uint8_t index);

// The message a problem shows.
std::string RecordProblemText(RecordProblem problem);

}  // namespace salvora
