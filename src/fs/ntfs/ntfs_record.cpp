#include "fs/ntfs/ntfs_record.h"

#include <algorithm>
#include <cstring>

namespace salvora {

namespace {

constexpr std::size_t kResidentHeaderBytes = 0x18;
constexpr std::size_t kNonResidentHeaderBytes = 0x40;

bool HasFileSignature(Bytes record) {
    return record.size() >= 4 && std::memcmp(record.data(), "FILE", 4) == 0;
}

}  // namespace

NtfsFixup ApplyNtfsFixups(std::span<std::uint8_t> record, std::uint32_t sectorBytes) {
    const Bytes r(record.data(), record.size());
    if (!HasFileSignature(r)) return NtfsFixup::NotARecord;
    if (sectorBytes < 256 || record.size() % sectorBytes != 0) return NtfsFixup::BadHeader;
    const std::size_t usaAt = le16(r, 0x04);
    const std::size_t usaCount = le16(r, 0x06);
    const std::size_t sectors = record.size() / sectorBytes;
    // The array must lie in the first sector ahead of the word it protects, and cover exactly the record.
    if (usaAt % 2 != 0 || usaCount != sectors + 1 || usaAt + 2 * usaCount > sectorBytes - 2)
        return NtfsFixup::BadHeader;
    const std::uint16_t usn = le16(r, usaAt);
    // Every sector is checked before any is touched: a torn record stays exactly as read.
    for (std::size_t i = 0; i < sectors; ++i)
        if (le16(r, (i + 1) * sectorBytes - 2) != usn) return NtfsFixup::Mismatch;
    for (std::size_t i = 0; i < sectors; ++i) {
        const std::size_t tail = (i + 1) * sectorBytes - 2;
        record[tail] = record[usaAt + 2 * (i + 1)];
        record[tail + 1] = record[usaAt + 2 * (i + 1) + 1];
    }
    return NtfsFixup::Applied;
}

std::optional<NtfsRecordHeader> DecodeNtfsRecordHeader(Bytes record) {
    if (!HasFileSignature(record)) return std::nullopt;
    NtfsRecordHeader h;
    h.sequence = le16(record, 0x10);
    h.linkCount = le16(record, 0x12);
    h.attributesAt = le16(record, 0x14);
    h.flags = le16(record, 0x16);
    h.usedBytes = le32(record, 0x18);
    h.allocatedBytes = le32(record, 0x1C);
    h.baseRecord = le64(record, 0x20);
    h.recordNumber = le32(record, 0x2C);
    if (h.attributesAt < 0x18 || h.attributesAt >= record.size()) return std::nullopt;
    return h;
}

NtfsAttributeWalk::NtfsAttributeWalk(Bytes record, const NtfsRecordHeader& header)
    : record_(record),
      at_(header.attributesAt),
      end_(std::min<std::size_t>(header.usedBytes, record.size())) {}

std::optional<NtfsAttribute> NtfsAttributeWalk::Next() {
    if (at_ >= end_ || le32(record_, at_) == kNtfsEndMarker) return std::nullopt;
    auto attribute = DecodeNtfsAttribute(record_, at_, end_);
    // Whatever follows a damaged attribute cannot be found: its length is the only way there.
    at_ = attribute ? at_ + attribute->length : end_;
    return attribute;
}

std::optional<NtfsAttribute> DecodeNtfsAttribute(Bytes bytes, std::size_t offset, std::size_t end) {
    end = std::min(end, bytes.size());
    if (offset % 8 != 0 || offset >= end || end - offset < kResidentHeaderBytes) return std::nullopt;
    NtfsAttribute a;
    a.type = le32(bytes, offset);
    a.length = le32(bytes, offset + 0x04);
    if (a.length < kResidentHeaderBytes || a.length % 8 != 0 || a.length > end - offset) return std::nullopt;
    const Bytes at = bytes.subspan(offset, a.length);
    a.bytes = at;
    const std::uint8_t nonResident = u8(at, 0x08);
    if (nonResident > 1) return std::nullopt;
    a.nonResident = nonResident == 1;
    a.flags = le16(at, 0x0C);
    a.id = le16(at, 0x0E);

    const std::size_t nameUnits = u8(at, 0x09);
    const std::size_t nameAt = le16(at, 0x0A);
    if (nameUnits > 0) {
        if (!Fits(at, nameAt, 2 * nameUnits)) return std::nullopt;
        a.name.reserve(nameUnits);
        for (std::size_t i = 0; i < nameUnits; ++i)
            a.name.push_back(static_cast<char16_t>(le16(at, nameAt + 2 * i)));
    }

    if (!a.nonResident) {
        const std::size_t valueBytes = le32(at, 0x10);
        const std::size_t valueAt = le16(at, 0x14);
        if (!Fits(at, valueAt, valueBytes)) return std::nullopt;
        a.value = at.subspan(valueAt, valueBytes);
        return a;
    }
    if (a.length < kNonResidentHeaderBytes) return std::nullopt;
    a.firstVcn = le64(at, 0x10);
    a.lastVcn = le64(at, 0x18);
    const std::size_t runsAt = le16(at, 0x20);
    if (runsAt < kNonResidentHeaderBytes || runsAt > a.length) return std::nullopt;
    a.runlist = at.subspan(runsAt);
    a.compressionUnit = le16(at, 0x22);
    a.allocatedSize = le64(at, 0x28);
    a.dataSize = le64(at, 0x30);
    a.initializedSize = le64(at, 0x38);
    return a;
}

}  // namespace salvora
