#pragma once
// A volume on the source: its first byte and its length. Parsers, discovery, carving and the content reader
// read through a window, by offsets from the volume's start, so that a short read and an unreadable sector
// mean the same thing everywhere: zeros in the buffer, and the ranges that were not read handed back.
#include <cstdint>
#include <span>

#include "io/file_read_seek.h"

namespace salvora {

class VolumeWindow {
public:
    VolumeWindow() = default;
    VolumeWindow(readWriteInterface* reader, std::uint64_t first, std::uint64_t length)
        : reader_(reader), first_(first), length_(length) {}
    // The volume at first that claims claimedBytes: as long as the claim or the rest of the source, whichever
    // is longer (a table row or boot sector that undersells the volume hides nothing), unbounded when neither
    // is known.
    static VolumeWindow Over(readWriteInterface* reader, std::uint64_t first, std::uint64_t claimedBytes);

    readWriteInterface* Reader() const { return reader_; }
    std::uint64_t First() const { return first_; }
    std::uint64_t Length() const { return length_; }
    explicit operator bool() const { return reader_ != nullptr; }

    // out.size() bytes from offset in the volume. Bytes past the window, past the source or on an unreadable
    // sector are zeros, and their ranges (offsets in the volume) are appended to missing. True only when every
    // byte was read.
    bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out, ByteRanges* missing = nullptr) const;
    // The reader's read from another thread (readWriteInterface::ReadIfHealthy), for bytes inside the window.
    bool Healthy() const { return reader_ && reader_->Healthy(); }
    bool ReadIfHealthy(std::uint64_t offset, std::span<std::uint8_t> out) const {
        return reader_ && offset <= length_ && out.size() <= length_ - offset &&
               reader_->ReadIfHealthy(first_ + offset, out);
    }

private:
    readWriteInterface* reader_ = nullptr;
    std::uint64_t first_ = 0;
    std::uint64_t length_ = 0;
};

}  // namespace salvora
