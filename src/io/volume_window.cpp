#include "io/volume_window.h"

#include <algorithm>
#include <limits>

namespace salvora {

VolumeWindow VolumeWindow::Over(readWriteInterface* reader, std::uint64_t first, std::uint64_t claimedBytes) {
    std::uint64_t length = claimedBytes;
    if (reader && reader->sourceLength > first) length = std::max(length, reader->sourceLength - first);
    const std::uint64_t room = std::numeric_limits<std::uint64_t>::max() - first;
    return VolumeWindow(reader, first, length == 0 ? room : std::min(length, room));
}

bool VolumeWindow::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out, ByteRanges* missing) const {
    const std::size_t inside =
        offset >= length_ ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), length_ - offset));
    bool whole = true;
    if (inside > 0 && !reader_) {
        std::fill_n(out.begin(), inside, 0);
        AddRange(missing, offset, inside);
        whole = false;
    } else if (inside > 0) {
        ByteRanges onSource;
        if (!reader_->ReadAt(first_ + offset, out.first(inside), missing ? &onSource : nullptr)) whole = false;
        for (const ByteRange& r : onSource) AddRange(missing, r.offset - first_, r.length);
    }
    if (inside < out.size()) {
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(inside), out.end(), 0);
        AddRange(missing, offset + inside, out.size() - inside);
        whole = false;
    }
    return whole;
}

}  // namespace salvora
