#include "fs/ntfs/ntfs_attributes.h"

#include "io/utf8.h"

namespace salvora {

namespace {

constexpr std::size_t kStandardInformationBytes = 0x24;
constexpr std::size_t kFileNameHeaderBytes = 0x42;
constexpr std::size_t kListEntryHeaderBytes = 0x1A;

std::u16string Units(Bytes b, std::size_t at, std::size_t count) {
    std::u16string s;
    s.reserve(count);
    for (std::size_t i = 0; i < count; ++i) s.push_back(static_cast<char16_t>(le16(b, at + 2 * i)));
    return s;
}

int NameRank(NtfsNamespace n) { return n == NtfsNamespace::Dos ? 0 : 1; }

}  // namespace

std::optional<NtfsStandardInformation> DecodeNtfsStandardInformation(Bytes value) {
    if (value.size() < kStandardInformationBytes) return std::nullopt;
    return NtfsStandardInformation{le64(value, 0x00), le64(value, 0x08), le64(value, 0x10), le64(value, 0x18),
                                   le32(value, 0x20)};
}

std::optional<NtfsFileName> DecodeNtfsFileName(Bytes value) {
    const std::size_t units = u8(value, 0x40);
    const std::uint8_t space = u8(value, 0x41);
    if (!Fits(value, kFileNameHeaderBytes, 2 * units) || space > 3) return std::nullopt;
    NtfsFileName f;
    f.parent = le64(value, 0x00);
    f.created = le64(value, 0x08);
    f.modified = le64(value, 0x10);
    f.changed = le64(value, 0x18);
    f.accessed = le64(value, 0x20);
    f.allocatedSize = le64(value, 0x28);
    f.dataSize = le64(value, 0x30);
    f.flags = le32(value, 0x38);
    f.nameSpace = static_cast<NtfsNamespace>(space);
    f.name = Units(value, kFileNameHeaderBytes, units);
    return f;
}

bool NtfsNameBetter(NtfsNamespace candidate, NtfsNamespace current) {
    return NameRank(candidate) > NameRank(current);
}

std::vector<NtfsAttributeListEntry> DecodeNtfsAttributeList(Bytes value) {
    std::vector<NtfsAttributeListEntry> entries;
    std::size_t at = 0;
    while (Fits(value, at, kListEntryHeaderBytes)) {
        NtfsAttributeListEntry e;
        e.type = le32(value, at);
        e.length = le16(value, at + 0x04);
        if (e.length < kListEntryHeaderBytes || !Fits(value, at, e.length)) break;
        const Bytes entry = value.subspan(at, e.length);
        const std::size_t nameUnits = u8(entry, 0x06);
        const std::size_t nameAt = u8(entry, 0x07);
        if (!Fits(entry, nameAt, 2 * nameUnits)) break;
        e.name = Units(entry, nameAt, nameUnits);
        e.firstVcn = le64(entry, 0x08);
        e.record = le64(entry, 0x10);
        e.id = le16(entry, 0x18);
        at += e.length;
        entries.push_back(std::move(e));
    }
    return entries;
}

std::string NtfsNameUtf8(const std::u16string& name) {
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char32_t unit = name[i];
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        if (high && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (name[i + 1] - 0xDC00));
            ++i;
        } else {
            // A lone surrogate reaches AppendUtf8 as itself, which turns it into U+FFFD.
            AppendUtf8(out, unit);
        }
    }
    return out;
}

}  // namespace salvora
