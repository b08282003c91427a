#include "io/file_read_seek.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "io/rescue_map.h"
#include "io/ui_sink.h"

namespace salvora {

FileReadSeek* theReader = nullptr;

void AddRange(ByteRanges* ranges, std::uint64_t offset, std::uint64_t length) {
    if (ranges == nullptr || length == 0) return;
    if (!ranges->empty() && ranges->back().offset + ranges->back().length == offset)
        ranges->back().length += length;
    else
        ranges->push_back({offset, length});
}

namespace {

std::mutex providedMutex;
std::map<std::string, int>& Provided() {
    static std::map<std::string, int> descriptors;
    return descriptors;
}

// A duplicate of the descriptor provided for path, or -1.
int ProvidedDescriptor(const std::string& path) {
    std::lock_guard lock(providedMutex);
    const auto it = Provided().find(path);
    return it == Provided().end() ? -1 : ::fcntl(it->second, F_DUPFD_CLOEXEC, 0);
}

}  // namespace

void ProvideDescriptor(const std::string& path, int fd) {
    // Only a descriptor that cannot write is taken: the source is never written, whoever opened it.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY) {
        if (fd >= 0) ::close(fd);
        return;
    }
    std::lock_guard lock(providedMutex);
    auto [it, added] = Provided().emplace(path, fd);
    if (!added) {
        ::close(it->second);
        it->second = fd;
    }
}

FileReadSeek::FileReadSeek() : known_(std::make_unique<RescueMap>()) {}

FileReadSeek::~FileReadSeek() { Close(); }

void FileReadSeek::Close() {
    healthy_.store(false, std::memory_order_release);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    container_.reset();
    isBlockDevice_ = false;
}

bool FileReadSeek::OpenSource(const std::string& path) {
    Close();
    // What was learned of a source's bad sectors holds while the same source is opened again.
    if (path != path_) {
        known_ = std::make_unique<RescueMap>();
        skipStep_ = 0;
    }
    path_ = path;
    openError_.clear();
    int fd = ProvidedDescriptor(path);
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    // A directory opens fine read-only but is no source; treat it like any unopenable path.
    if (fd >= 0 && (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        ShowInfo("invalid handle ...");
        return false;
    }
    fd_ = fd;
    std::uint64_t length = 0;
    ContainerOpening opening = OpenImageContainer(path);
    if (!opening.error.empty()) {
        openError_ = opening.error;
        Close();
        ShowInfo("invalid handle ...");
        return false;
    }
    container_ = std::move(opening.container);
    if (container_) {
        length = container_->Details().mediaSize;
    } else if (S_ISBLK(st.st_mode)) {
        isBlockDevice_ = true;
        if (::ioctl(fd_, BLKGETSIZE64, &length) != 0) length = 0;
    } else if (S_ISREG(st.st_mode)) {
        length = static_cast<std::uint64_t>(st.st_size);
    } else {
        const off_t end = ::lseek(fd_, 0, SEEK_END);
        length = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    }
    sourceLength = length;
    healthy_.store(!container_ && known_->Size() == 0, std::memory_order_release);
    return true;
}

void FileReadSeek::Mark(std::uint64_t at, std::uint64_t length, char status) {
    healthy_.store(false, std::memory_order_release);
    known_->Mark(at, length, status);
}

bool FileReadSeek::ReadIfHealthy(std::uint64_t at, std::span<std::uint8_t> out) {
    if (!Healthy() || at > static_cast<std::uint64_t>(INT64_MAX) - out.size()) return false;
    bool ioError = false;
    const std::int64_t got = ReadSome(out.data(), out.size(), static_cast<std::int64_t>(at), ioError);
    return !ioError && static_cast<std::size_t>(got) == out.size();
}

std::int64_t FileReadSeek::ReadSome(std::uint8_t* out, std::size_t count, std::int64_t at, bool& ioError) {
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = 0;
        if (container_) {
            n = container_->ReadAt(out + done, count - done, static_cast<std::uint64_t>(at) + done);
            if (n < 0) errno = EIO;  // the container's own error was not a system call's
        } else {
            n = ::pread(fd_, out + done, count - done, at + static_cast<std::int64_t>(done));
        }
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ioError = true;
            break;
        }
    }
    return static_cast<std::int64_t>(done);
}

BlockRead FileReadSeek::ReadOnce(std::uint64_t at, std::span<std::uint8_t> out) {
    BlockRead result;
    if (fd_ < 0 || at > static_cast<std::uint64_t>(INT64_MAX) - out.size()) {
        result.failed = true;
        return result;
    }
    result.got = static_cast<std::size_t>(ReadSome(out.data(), out.size(), static_cast<std::int64_t>(at), result.failed));
    return result;
}

void FileReadSeek::MarkUnreadable(const ByteRanges& ranges) {
    for (const ByteRange& r : ranges) Mark(r.offset, r.length, kBadSector);
}

std::uint64_t FileReadSeek::SkippedBytes() const { return known_->BytesWith(kNotScraped); }

bool FileReadSeek::ReadSector(std::uint64_t at, std::span<std::uint8_t> out, int tried) {
    for (int attempt = tried; attempt <= retries_ && (attempt == 0 || !Interrupted()); ++attempt) {
        bool ioError = false;
        const std::int64_t n = ReadSome(out.data(), out.size(), static_cast<std::int64_t>(at), ioError);
        if (!ioError) {
            if (static_cast<std::size_t>(n) < out.size()) std::memset(out.data() + n, 0, out.size() - n);
            return true;
        }
    }
    std::memset(out.data(), 0, out.size());
    Mark(at - at % kSectorBytes, kSectorBytes, kBadSector);
    return false;
}

ByteRanges FileReadSeek::RetrySkipped(const std::function<bool()>& stop) {
    ByteRanges recovered;
    std::uint8_t sector[kSectorBytes];
    for (const MapBlock& block : known_->BlocksWith(kNotScraped)) {
        for (std::uint64_t at = block.pos; at < block.pos + block.size; at += kSectorBytes) {
            if ((stop && stop()) || Interrupted()) return recovered;
            const std::uint64_t length = std::min<std::uint64_t>(kSectorBytes, block.pos + block.size - at);
            if (ReadSector(at, std::span(sector, length))) {
                Mark(at, length, kNotTried);
                AddRange(&recovered, at, length);
            }
        }
    }
    return recovered;
}

void FileReadSeek::ReadSectors(std::span<std::uint8_t> out, std::size_t from, std::uint64_t at,
                               ByteRanges* missing) {
    // Pieces end on the source's sector boundaries, so one bad sector costs one sector of zeros.
    std::size_t done = from - std::min<std::size_t>(from, (at + from) % kSectorBytes);
    std::memset(out.data() + from, 0, out.size() - from);
    while (done < out.size()) {
        if (Interrupted()) {
            AddRange(missing, at + done, out.size() - done);
            return;
        }
        const std::size_t piece = std::min<std::size_t>(kSectorBytes - (at + done) % kSectorBytes, out.size() - done);
        bool sectorError = false;
        const std::int64_t n = ReadSome(out.data() + done, piece, static_cast<std::int64_t>(at + done), sectorError);
        if (sectorError && !ReadSector(at + done, out.subspan(done, piece), 1)) {
            AddRange(missing, at + done, piece);
        } else if (!sectorError && static_cast<std::size_t>(n) < piece) {
            AddRange(missing, at + done + static_cast<std::size_t>(n), out.size() - done - static_cast<std::size_t>(n));
            return;
        }
        done += piece;
    }
}

namespace {
constexpr std::uint64_t kSkipCluster = 64 * 1024;
constexpr std::uint64_t kMaxSkipStep = 64ull * 1024 * 1024;
}  // namespace

void FileReadSeek::ReadSkipping(std::span<std::uint8_t> out, std::size_t from, std::uint64_t at,
                                ByteRanges* missing) {
    std::memset(out.data() + from, 0, out.size() - from);
    std::size_t done = from - std::min<std::size_t>(from, (at + from) % kSectorBytes);
    const std::uint64_t end = at + out.size();
    while (done < out.size()) {
        if (Interrupted()) {
            AddRange(missing, at + done, out.size() - done);
            return;
        }
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(kSkipCluster - (at + done) % kSkipCluster, out.size() - done));
        bool ioError = false;
        const auto n = static_cast<std::size_t>(ReadSome(out.data() + done, piece, static_cast<std::int64_t>(at + done), ioError));
        if (!ioError && n == piece) {
            skipStep_ = 0;
            done += piece;
            continue;
        }
        if (!ioError) {
            AddRange(missing, at + done + n, out.size() - done - n);
            return;
        }
        // The rest of the failed cluster and a step after it that doubles while reads keep failing are left
        // for later, past this read too, so the next read of the pass does not start in the bad area again.
        const std::uint64_t failed = at + done + n - (at + done + n) % kSectorBytes;
        skipStep_ = skipStep_ == 0 ? kSkipCluster : std::min(skipStep_ * 2, kMaxSkipStep);
        std::uint64_t skipEnd = at + done + piece + skipStep_;
        if (sourceLength > 0) skipEnd = std::min(skipEnd, std::max(sourceLength, at + done + piece));
        Mark(failed, skipEnd - failed, kNotScraped);
        const std::uint64_t cut = std::min(skipEnd, end);
        std::memset(out.data() + (failed - at), 0, cut - failed);
        AddRange(missing, failed, cut - failed);
        done = static_cast<std::size_t>(cut - at);
    }
}

bool FileReadSeek::ReadPiece(std::uint64_t at, std::span<std::uint8_t> out, ByteRanges* missing) {
    bool ioError = false;
    const auto got = static_cast<std::size_t>(ReadSome(out.data(), out.size(), static_cast<std::int64_t>(at), ioError));
    if (got == out.size()) return true;
    if (!ioError) {
        std::memset(out.data() + got, 0, out.size() - got);
        AddRange(missing, at + got, out.size() - got);
    } else if (skipAhead_) {
        ReadSkipping(out, got, at, missing);
    } else {
        ReadSectors(out, got, at, missing);
    }
    return false;
}

bool FileReadSeek::ReadKnown(std::uint64_t at, std::span<std::uint8_t> out, ByteRanges* missing) {
    const std::uint64_t end = at + out.size();
    std::uint64_t cursor = at;
    bool whole = true;
    while (cursor < end) {
        // The first range at or after the cursor that is not to be read now; asked again after every piece,
        // since a failed piece may have marked more.
        std::optional<MapBlock> avoid;
        for (char status : {kBadSector, kNotScraped}) {
            if (status == kNotScraped && !skipAhead_) continue;
            const auto blocks = known_->BlocksWith(status, cursor, end);
            if (!blocks.empty() && (!avoid || blocks.front().pos < avoid->pos)) avoid = blocks.front();
        }
        const std::uint64_t readTo = avoid ? avoid->pos : end;
        if (readTo > cursor && !ReadPiece(cursor, out.subspan(cursor - at, readTo - cursor), missing)) whole = false;
        if (!avoid) break;
        const std::uint64_t to = avoid->pos + avoid->size;
        std::memset(out.data() + (avoid->pos - at), 0, to - avoid->pos);
        AddRange(missing, avoid->pos, to - avoid->pos);
        whole = false;
        cursor = to;
    }
    return whole;
}

bool FileReadSeek::ReadAt(std::uint64_t at, std::span<std::uint8_t> out, ByteRanges* missing) {
    if (out.empty()) return true;
    if (fd_ < 0 || at > static_cast<std::uint64_t>(INT64_MAX) - out.size()) {
        std::memset(out.data(), 0, out.size());
        AddRange(missing, at, out.size());
        return false;
    }
    if (known_->Size() == 0) return ReadPiece(at, out, missing);  // nothing has failed: the plain read
    return ReadKnown(at, out, missing);
}

}  // namespace salvora
