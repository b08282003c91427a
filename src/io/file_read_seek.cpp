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
std::uint64_t totalSectors = 0;

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
    position_ = 0;
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
    totalSectors = length / kSectorBytes;
    return true;
}

bool FileReadSeek::SeekBytes(std::int64_t offset, int /*moveMethod*/) {
    const std::int64_t target = offset + baseOffset;
    if (fd_ < 0 || target < 0) return false;
    position_ = target;
    return true;
}

// Reads up to count bytes at `at`, retrying interrupted and partial reads; stops at end of source or error.
std::int64_t FileReadSeek::ReadSome(std::uint8_t* out, std::uint32_t count, std::int64_t at, bool& ioError) {
    std::int64_t done = 0;
    while (done < count) {
        ssize_t n = 0;
        if (container_) {
            n = container_->ReadAt(out + done, count - done, static_cast<std::uint64_t>(at + done));
            if (n < 0) errno = EIO;  // the container's own error was not a system call's
        } else {
            n = ::pread(fd_, out + done, count - done, at + done);
        }
        if (n > 0) {
            done += n;
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ioError = true;
            break;
        }
    }
    return done;
}

bool FileReadSeek::ReadBytes(void* buffer, std::uint32_t count) {
    if (fd_ < 0 || buffer == nullptr) return false;
    if (count == 0) return true;
    auto* out = static_cast<std::uint8_t*>(buffer);
    bool ioError = false;
    std::int64_t got = ReadSome(out, count, position_, ioError);
    if (!ioError) {
        if (got == 0) return false;  // end of source: the caller's buffer keeps what it had
        std::memset(out + got, 0, count - got);
        position_ += got;
        return got == count;
    }
    // A bad sector: take what can be read sector by sector, zeros for the rest, and move past the whole block
    // so a caller walking forward stays aligned.
    std::memset(out + got, 0, count - got);
    std::int64_t at = got - got % kSectorBytes;
    while (at < count) {
        const std::uint32_t piece = std::min<std::uint32_t>(kSectorBytes, count - static_cast<std::uint32_t>(at));
        bool sectorError = false;
        const std::int64_t n = ReadSome(out + at, piece, position_ + at, sectorError);
        if (sectorError) std::memset(out + at, 0, piece);
        if (!sectorError && n < piece) break;  // reached the end of the source
        at += piece;
    }
    position_ += count;
    return false;
}

}  // namespace salvora
