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

FileReadSeek::~FileReadSeek() { Close(); }

void FileReadSeek::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    container_.reset();
    isBlockDevice_ = false;
}

bool FileReadSeek::OpenSource(const std::string& path) {
    Close();
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
    return true;
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

void FileReadSeek::ReadSectors(std::span<std::uint8_t> out, std::size_t from, std::uint64_t at,
                               ByteRanges* missing) {
    // Pieces end on the source's sector boundaries, so one bad sector costs one sector of zeros.
    std::size_t done = from - std::min<std::size_t>(from, (at + from) % kSectorBytes);
    std::memset(out.data() + from, 0, out.size() - from);
    while (done < out.size()) {
        const std::size_t piece = std::min<std::size_t>(kSectorBytes - (at + done) % kSectorBytes, out.size() - done);
        bool sectorError = false;
        const std::int64_t n = ReadSome(out.data() + done, piece, static_cast<std::int64_t>(at + done), sectorError);
        if (sectorError) {
            std::memset(out.data() + done, 0, piece);
            AddRange(missing, at + done, piece);
        } else if (static_cast<std::size_t>(n) < piece) {
            AddRange(missing, at + done + static_cast<std::size_t>(n), out.size() - done - static_cast<std::size_t>(n));
            return;
        }
        done += piece;
    }
}

bool FileReadSeek::ReadAt(std::uint64_t at, std::span<std::uint8_t> out, ByteRanges* missing) {
    if (out.empty()) return true;
    if (fd_ < 0 || at > static_cast<std::uint64_t>(INT64_MAX) - out.size()) {
        std::memset(out.data(), 0, out.size());
        AddRange(missing, at, out.size());
        return false;
    }
    bool ioError = false;
    const auto got = static_cast<std::size_t>(ReadSome(out.data(), out.size(), static_cast<std::int64_t>(at), ioError));
    if (got == out.size()) return true;
    if (!ioError) {
        std::memset(out.data() + got, 0, out.size() - got);
        AddRange(missing, at + got, out.size() - got);
        return false;
    }
    ReadSectors(out, got, at, missing);
    return false;
}

}  // namespace salvora
