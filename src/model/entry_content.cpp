#include "model/entry_content.h"

#include <algorithm>
#include <cstring>

namespace salvora {
namespace {

void MarkUnreadable(ContentRead& read, std::uint64_t from, std::uint64_t to) {
    if (!read.unreadable.empty() && read.unreadable.back().second == from)
        read.unreadable.back().second = to;
    else
        read.unreadable.emplace_back(from, to);
}

}  // namespace

void EntryContent::Add(std::uint64_t length, RunKind kind, std::uint64_t at, bool inferred) {
    if (length == 0) return;
    if (!runs.empty()) {
        ContentRun& last = runs.back();
        if (last.kind == kind && last.inferred == inferred &&
            (kind == RunKind::Hole || last.at + last.length == at)) {
            last.length += length;
            return;
        }
    }
    runs.push_back({Covered(), length, kind, at, inferred});
}

ContentRead ReadContent(readWriteInterface* source, const EntryContent& content, std::uint64_t offset,
                        std::span<std::uint8_t> out) {
    ContentRead read;
    if (offset >= content.size) return read;
    const std::uint64_t end = std::min<std::uint64_t>(content.size, offset + out.size());
    std::memset(out.data(), 0, end - offset);
    read.bytes = end - offset;
    std::uint64_t covered = offset;  // everything before this is accounted for
    // Runs are in file order: start at the last one that begins at or before the offset, so reading a file of
    // many runs piece by piece stays linear.
    auto first = std::upper_bound(content.runs.begin(), content.runs.end(), offset,
                                  [](std::uint64_t at, const ContentRun& run) { return at < run.fileOffset; });
    if (first != content.runs.begin()) --first;
    for (auto it = first; it != content.runs.end(); ++it) {
        const ContentRun& run = *it;
        const std::uint64_t runEnd = run.fileOffset + run.length;
        if (runEnd <= offset) continue;
        if (run.fileOffset >= end) break;
        if (run.fileOffset > covered) MarkUnreadable(read, covered, run.fileOffset);
        const std::uint64_t from = std::max(offset, run.fileOffset);
        const std::uint64_t to = std::min(end, runEnd);
        std::uint8_t* dest = out.data() + (from - offset);
        if (run.kind == RunKind::Resident) {
            const std::uint64_t at = run.at + (from - run.fileOffset);
            const std::uint64_t have = at < content.resident.size() ? content.resident.size() - at : 0;
            const std::uint64_t n = std::min(to - from, have);
            if (n) std::memcpy(dest, content.resident.data() + at, n);
            if (n < to - from) MarkUnreadable(read, from + n, to);
        } else if (run.kind == RunKind::Source && !source) {
            MarkUnreadable(read, from, to);
        } else if (run.kind == RunKind::Source) {
            ByteRanges missing;
            const std::uint64_t at = run.at + (from - run.fileOffset);
            source->ReadAt(at, {dest, static_cast<std::size_t>(to - from)}, &missing);
            for (const ByteRange& r : missing)
                MarkUnreadable(read, from + (r.offset - at), from + (r.offset - at) + r.length);
        }
        covered = to;
    }
    if (covered < end) MarkUnreadable(read, covered, end);
    return read;
}

}  // namespace salvora
