#include "model/entry_copier.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "io/write_all.h"

namespace salvora {
namespace {

constexpr std::uint64_t kPieceBytes = 4u << 20;

timespec OrOmit(const std::optional<timespec>& t) {
    if (t) return *t;
    timespec omit{};
    omit.tv_nsec = UTIME_OMIT;
    return omit;
}

}  // namespace

CopyResult CopyEntry(ParserBase& parser, EntryId id, const std::string& destPath) {
    const std::optional<EntryContent> content = parser.Content(id);
    if (!content) return {};
    return CopyContent(parser.Source(), *content, parser.EntryStoredTimes(id), destPath);
}

namespace {

// A hole at the end still makes the file its full length; content that stops short leaves it short.
std::uint64_t FileEnd(const EntryContent& content) {
    return content.whole ? content.size : std::min(content.size, content.Covered());
}

std::uint64_t Missing(const EntryContent& content, std::uint64_t unreadable) {
    return std::min(content.size, unreadable + (content.size - FileEnd(content)) + content.unsure);
}

// The file's length, its stored times and the close: false when any of them failed.
bool FinishFile(int fd, std::uint64_t writtenEnd, std::uint64_t end, const StoredTimes& stored) {
    bool ok = writtenEnd == end || ::ftruncate(fd, static_cast<off_t>(end)) == 0;
    const timespec times[2] = {OrOmit(stored.accessed), OrOmit(stored.modified)};
    ::futimens(fd, times);
    if (::close(fd) != 0) ok = false;
    return ok;
}

int CreateExclusive(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
}

}  // namespace

CopyResult CopyContent(readWriteInterface* source, const EntryContent& content, const StoredTimes& stored,
                       const std::string& destPath) {
    CopyResult result;
    result.size = content.size;
    const int fd = CreateExclusive(destPath);
    if (fd < 0) return result;
    std::uint64_t writtenEnd = 0;
    std::uint64_t unreadable = 0;
    std::vector<std::uint8_t> buffer;
    for (const ContentRun& run : content.runs) {
        if (run.kind == RunKind::Hole) continue;
        for (std::uint64_t at = run.fileOffset; at < run.fileOffset + run.length; at += kPieceBytes) {
            buffer.resize(std::min(kPieceBytes, run.fileOffset + run.length - at));
            const ContentRead read = ReadContent(source, content, at, buffer);
            for (const auto& [from, to] : read.unreadable) unreadable += to - from;  // written as zeros
            if (!WriteAllAt(fd, buffer.data(), read.bytes, at)) {
                ::close(fd);
                result.missing = Missing(content, unreadable);
                return result;  // a full or failing disk: the caller names the file
            }
            writtenEnd = at + read.bytes;
        }
    }
    result.missing = Missing(content, unreadable);
    result.written = FinishFile(fd, writtenEnd, FileEnd(content), stored);
    return result;
}

std::optional<StagedCopy> StageContent(readWriteInterface* source, const EntryContent& content,
                                       const StoredTimes& stored, std::string destPath, std::uint64_t maxBytes) {
    std::uint64_t total = 0;
    for (const ContentRun& run : content.runs)
        if (run.kind != RunKind::Hole) total += run.length;
    if (total > maxBytes) return std::nullopt;
    StagedCopy copy;
    copy.destPath = std::move(destPath);
    copy.stored = stored;
    copy.end = FileEnd(content);
    copy.result.size = content.size;
    copy.bytes.resize(total);
    std::uint64_t filled = 0;
    std::uint64_t unreadable = 0;
    for (const ContentRun& run : content.runs) {
        if (run.kind == RunKind::Hole) continue;
        const ContentRead read = ReadContent(source, content, run.fileOffset,
                                             std::span(copy.bytes).subspan(filled, run.length));
        for (const auto& [from, to] : read.unreadable) unreadable += to - from;
        copy.pieces.emplace_back(run.fileOffset, read.bytes);
        filled += read.bytes;
    }
    copy.bytes.resize(filled);
    copy.result.missing = Missing(content, unreadable);
    return copy;
}

std::optional<StagedCopy> StageEntry(ParserBase& parser, EntryId id, std::string destPath, std::uint64_t maxBytes) {
    const std::optional<EntryContent> content = parser.Content(id);
    if (!content) return std::nullopt;
    return StageContent(parser.Source(), *content, parser.EntryStoredTimes(id), std::move(destPath), maxBytes);
}

void WriteStaged(StagedCopy& copy) {
    const int fd = CreateExclusive(copy.destPath);
    if (fd < 0) return;
    std::uint64_t writtenEnd = 0;
    const std::uint8_t* data = copy.bytes.data();
    for (const auto& [at, length] : copy.pieces) {
        if (!WriteAllAt(fd, data, length, at)) {
            ::close(fd);
            return;
        }
        data += length;
        writtenEnd = at + length;
    }
    copy.result.written = FinishFile(fd, writtenEnd, copy.end, copy.stored);
}

CopyResult ParserBase::ExtractFile(EntryId id, const std::string& destPath) { return CopyEntry(*this, id, destPath); }

std::optional<StagedCopy> ParserBase::StageFile(EntryId id, const std::string& destPath, std::uint64_t maxBytes) {
    return StageEntry(*this, id, destPath, maxBytes);
}

}  // namespace salvora
