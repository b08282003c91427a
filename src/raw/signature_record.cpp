#include "raw/signature_record.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "io/utf8.h"

namespace salvora {
namespace {

void Put16(std::uint8_t* out, std::uint16_t v) {
    out[0] = static_cast<std::uint8_t>(v);
    out[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put64(std::uint8_t* out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::int32_t ClampTo32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

// Code points of UTF-8 text; a bad sequence gives U+FFFD and resynchronises on the next byte.
std::u32string DecodeUtf8(const std::string& text) {
    std::u32string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= text.size() + (extra == 0 ? 1 : 0)) {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        char32_t cp = extra == 0 ? b : (b & (0x3F >> extra));
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        out += cp;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

}  // namespace

SignatureRecord DecodeRecord(Bytes buf) {
    namespace o = record_off;
    SignatureRecord r;
    for (std::size_t i = 0; i < kExtensionUnits; ++i) r.extension[i] = le16(buf, o::extension + 2 * i);
    r.reserved08 = le16(buf, o::reserved08);
    r.extensionLength = u8(buf, o::extensionLength);
    for (std::size_t i = 0; i < kSignatureBytes; ++i) {
        r.startSignature[i] = u8(buf, o::startSignature + i);
        r.endSignature[i] = u8(buf, o::endSignature + i);
    }
    r.startLength = u8(buf, o::startLength);
    r.endLength = u8(buf, o::endLength);
    r.recordIndex = u8(buf, o::recordIndex);
    r.sizeFieldOffset = static_cast<std::int32_t>(le32(buf, o::sizeFieldOffset));
    r.sizeFieldWidth = static_cast<std::int32_t>(le32(buf, o::sizeFieldWidth));
    r.headerSize = static_cast<std::int32_t>(le32(buf, o::headerSize));
    r.sizeIncludesHeader = u8(buf, o::sizeIncludesHeader);
    r.reserved2F = le32(buf, o::reserved2F);
    r.approxSize = static_cast<std::int64_t>(le64(buf, o::approxSize));
    r.skipBytes = static_cast<std::int64_t>(le64(buf, o::skipBytes));
    for (std::size_t i = 0; i < kCategoryUnits; ++i) r.category[i] = le16(buf, o::category + 2 * i);
    r.reservedA7 = le32(buf, o::reservedA7);
    return r;
}

std::array<std::uint8_t, kRecordBytes> EncodeRecord(const SignatureRecord& r) {
    namespace o = record_off;
    std::array<std::uint8_t, kRecordBytes> out{};
    std::uint8_t* p = out.data();
    for (std::size_t i = 0; i < kExtensionUnits; ++i) Put16(p + o::extension + 2 * i, r.extension[i]);
    Put16(p + o::reserved08, r.reserved08);
    p[o::extensionLength] = r.extensionLength;
    std::copy(r.startSignature.begin(), r.startSignature.end(), p + o::startSignature);
    std::copy(r.endSignature.begin(), r.endSignature.end(), p + o::endSignature);
    p[o::startLength] = r.startLength;
    p[o::endLength] = r.endLength;
    p[o::recordIndex] = r.recordIndex;
    Put32(p + o::sizeFieldOffset, static_cast<std::uint32_t>(r.sizeFieldOffset));
    Put32(p + o::sizeFieldWidth, static_cast<std::uint32_t>(r.sizeFieldWidth));
    Put32(p + o::headerSize, static_cast<std::uint32_t>(r.headerSize));
    p[o::sizeIncludesHeader] = r.sizeIncludesHeader;
    Put32(p + o::reserved2F, r.reserved2F);
    Put64(p + o::approxSize, static_cast<std::uint64_t>(r.approxSize));
    Put64(p + o::skipBytes, static_cast<std::uint64_t>(r.skipBytes));
    for (std::size_t i = 0; i < kCategoryUnits; ++i) Put16(p + o::category + 2 * i, r.category[i]);
    Put32(p + o::reservedA7, r.reservedA7);
    return out;
}

std::string Utf16ToUtf8(const std::uint16_t* units, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(const std::string& text) {
    std::u16string out;
    for (char32_t cp : DecodeUtf8(text)) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string ExtensionText(const SignatureRecord& record) {
    std::size_t n = 0;
    while (n < kExtensionUnits && record.extension[n] != 0) ++n;
    return Utf16ToUtf8(record.extension.data(), n);
}

std::string CategoryText(const SignatureRecord& record) {
    std::size_t n = 0;
    while (n < kCategoryUnits && record.category[n] != 0) ++n;
    return Utf16ToUtf8(record.category.data(), n);
}

std::vector<std::uint8_t> ParseHexList(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::size_t i = 0;
    while (i <= text.size()) {
        const std::size_t comma = std::min(text.find(',', i), text.size());
        const std::string piece = text.substr(i, comma - i);
        i = comma + 1;
        if (piece.empty()) continue;
        std::size_t k = 0;
        while (k < piece.size() && std::isspace(static_cast<unsigned char>(piece[k]))) ++k;
        // A blank piece (the space after a trailing comma) is empty too, not a zero byte.
        if (k == piece.size()) continue;
        if (k + 1 < piece.size() && piece[k] == '0' && (piece[k + 1] == 'x' || piece[k + 1] == 'X')) k += 2;
        std::uint8_t value = 0;
        for (; k < piece.size() && HexDigit(piece[k]) >= 0; ++k)
            value = static_cast<std::uint8_t>((value << 4) | HexDigit(piece[k]));
        bytes.push_back(value);
    }
    return bytes;
}

std::int64_t ParseLeadingDecimal(const std::string& text) {
    std::size_t k = 0;
    while (k < text.size() && std::isspace(static_cast<unsigned char>(text[k]))) ++k;
    bool negative = false;
    if (k < text.size() && (text[k] == '+' || text[k] == '-')) negative = text[k++] == '-';
    std::int64_t value = 0;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    for (; k < text.size() && std::isdigit(static_cast<unsigned char>(text[k])); ++k) {
        const int d = text[k] - '0';
        value = value > (kMax - d) / 10 ? kMax : value * 10 + d;
    }
    return negative ? -value : value;
}

std::string DigitsOnly(const std::string& text) {
    std::string out;
    for (char c : text)
        if (std::isdigit(static_cast<unsigned char>(c))) out += c;
    return out;
}

BuiltRecord BuildRecord(const SignatureFields& f, std::uint8_t index) {
    BuiltRecord built;
    SignatureRecord& r = built.record;
    r.recordIndex = index;

    const std::u16string ext = Utf8ToUtf16(f.extension);
    const std::size_t typed = DecodeUtf8(f.extension).size();
    if (typed == 0) {
        built.problem = RecordProblem::EmptyExtension;
        return built;
    }
    for (std::size_t i = 0; i < kExtensionUnits && i < ext.size(); ++i) r.extension[i] = ext[i];
    r.extensionLength = static_cast<std::uint8_t>(std::min<std::size_t>(typed, 255));

    const std::vector<std::uint8_t> start = ParseHexList(f.startSignature);
    const std::vector<std::uint8_t> end = ParseHexList(f.endSignature);
    if (start.empty()) {
        built.problem = RecordProblem::EmptyStartSignature;
        return built;
    }
    // The record has room for ten bytes each; cutting a longer signature would change what it matches.
    if (start.size() > kSignatureBytes || end.size() > kSignatureBytes) {
        built.problem = RecordProblem::SignatureTooLong;
        return built;
    }
    std::copy(start.begin(), start.end(), r.startSignature.begin());
    std::copy(end.begin(), end.end(), r.endSignature.begin());
    r.startLength = static_cast<std::uint8_t>(start.size());
    r.endLength = static_cast<std::uint8_t>(end.size());

    const std::int64_t offset = ParseLeadingDecimal(f.sizeFieldOffset);
    if (offset > 0) r.sizeFieldOffset = ClampTo32(offset);
    r.sizeFieldWidth = ClampTo32(ParseLeadingDecimal(f.sizeFieldWidth));
    r.headerSize = ClampTo32(ParseLeadingDecimal(f.headerSize));
    r.sizeIncludesHeader = f.sizeIncludesHeader ? 1 : 0;
    r.skipBytes = ParseLeadingDecimal(f.skipBytes);
    r.approxSize = ParseLeadingDecimal(f.approxSize);

    const std::u16string category = Utf8ToUtf16(f.category);
    for (std::size_t i = 0; i + 1 < kCategoryUnits && i < category.size(); ++i) r.category[i] = category[i];
    return built;
}

std::string RecordProblemText(RecordProblem problem) {
    switch (problem) {
        case RecordProblem::None:
            return {};
        case RecordProblem::EmptyExtension:
            return "extention length is zero..";
        case RecordProblem::EmptyStartSignature:
            return "signature length is zero..";
        case RecordProblem::SignatureTooLong:
            return "a signature can hold at most 10 bytes..";
    }
    return {};
}

}  // namespace salvora
