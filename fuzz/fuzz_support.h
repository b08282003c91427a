#pragma once
// What the harnesses share: the fuzz input as a volume in a memory file, and a folder for the files they
// extract.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace salvora::fuzz {

// The input written over a zeroed memory file of `length` bytes (cut there when longer). Returns the path
// that FileReadSeek::OpenSource takes, or "" when the file cannot be made.
inline std::string MemoryVolume(const std::uint8_t* data, std::size_t size, std::size_t length) {
    static const int fd = ::memfd_create("salvora-fuzz", 0);
    size = std::min(size, length);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::ftruncate(fd, static_cast<off_t>(length)) != 0) return {};
    if (size > 0 && ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return {};
    return "/proc/self/fd/" + std::to_string(fd);
}

// This process's folder for extracted files.
inline const std::filesystem::path& ScratchDir() {
    static const std::filesystem::path dir = [] {
        char name[] = "/tmp/salvora-fuzz-XXXXXX";
        const char* made = ::mkdtemp(name);
        if (!made) std::abort();
        return std::filesystem::path(made);
    }();
    return dir;
}

}  // namespace salvora::fuzz
