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

// This process's folder for extracted files, removed with what is left in it when the fuzzer exits normally.
inline const std::filesystem::path& ScratchDir() {
    struct Folder {
        std::filesystem::path path;
        ~Folder() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    };
    static const Folder dir = [] {
        // Unless TMPDIR says otherwise, memory: making and removing names through a busy disk's journal is
        // many times slower.
        const char* tmp = std::getenv("TMPDIR");
        const char* base = tmp && *tmp ? tmp : ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string name = std::string(base) + "/salvora-fuzz-XXXXXX";
        if (!::mkdtemp(name.data())) std::abort();
        return Folder{std::filesystem::path(name)};
    }();
    return dir.path;
}

// The verdict on an entry, whatever its volume says: judged without a fault, and never more bytes in use than
// its content needs.
template <class Parser, class Id>
inline void CheckVerdict(Parser& parser, Id id) {
    const auto verdict = parser.Judge(id);
    if (verdict.bytesInUse > verdict.bytesNeeded) std::abort();
}

}  // namespace salvora::fuzz
