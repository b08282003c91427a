#include "io/write_all.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace salvora {
namespace {

// Bounded so one call never asks for more than ssize_t can report.
constexpr std::uint64_t kMaxPerCall = 1u << 30;

template <class Write>
bool WriteLoop(const std::uint8_t* data, std::uint64_t count, Write write) {
    std::uint64_t done = 0;
    while (done < count) {
        const ssize_t n =
            write(data + done, static_cast<std::size_t>(std::min(count - done, kMaxPerCall)), done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::uint64_t>(n);
    }
    return true;
}

}  // namespace

bool WriteAll(int fd, const std::uint8_t* data, std::uint64_t count) {
    return WriteLoop(data, count,
                     [fd](const std::uint8_t* p, std::size_t n, std::uint64_t) { return ::write(fd, p, n); });
}

bool WriteAllAt(int fd, const std::uint8_t* data, std::uint64_t count, std::uint64_t at) {
    return WriteLoop(data, count, [fd, at](const std::uint8_t* p, std::size_t n, std::uint64_t done) {
        return ::pwrite(fd, p, n, static_cast<off_t>(at + done));
    });
}

}  // namespace salvora
