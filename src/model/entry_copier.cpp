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

CopyResult CopyContent(readWriteInterface* source, const EntryContent& content, const StoredTimes& stored,
                       const std::string& destPath) {
    CopyResult result;
    result.size = content.size;
    const int fd = ::open(destPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return result;
    std::uint64_t writtenEnd = 0;
    std::vector<std::uint8_t> buffer;
    for (const ContentRun& run : content.runs) {
        if (run.kind == RunKind::Hole) continue;
        for (std::uint64_t at = run.fileOffset; at < run.fileOffset + run.length; at += kPieceBytes) {
            buffer.resize(std::min(kPieceBytes, run.fileOffset + run.length - at));
            const ContentRead read = ReadContent(source, content, at, buffer);
            for (const auto& [from, to] : read.unreadable) result.missing += to - from;  // written as zeros
            if (!WriteAllAt(fd, buffer.data(), read.bytes, at)) {
                ::close(fd);
                return result;  // a full or failing disk: the caller names the file
            }
            writtenEnd = at + read.bytes;
        }
    }
    // A hole at the end still makes the file its full length; content that stops short leaves it short.
    const std::uint64_t end = content.whole ? content.size : std::min(content.size, content.Covered());
    if (!content.whole) result.missing += content.size - end;
    result.missing = std::min(result.size, result.missing + content.unsure);
    bool ok = writtenEnd == end || ::ftruncate(fd, static_cast<off_t>(end)) == 0;
    const timespec times[2] = {OrOmit(stored.accessed), OrOmit(stored.modified)};
    ::futimens(fd, times);
    if (::close(fd) != 0) ok = false;
    result.written = ok;
    return result;
}

CopyResult ParserBase::ExtractFile(EntryId id, const std::string& destPath) { return CopyEntry(*this, id, destPath); }

}  // namespace salvora
