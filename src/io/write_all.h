#pragma once
// Writing file content whole: write(2) and pwrite(2) may write less than asked or be interrupted.
#include <cstdint>

namespace salvora {

// All count bytes at the file's offset. False on an error, or when nothing more can be written (a full disk).
bool WriteAll(int fd, const std::uint8_t* data, std::uint64_t count);
// All count bytes at byte `at` of the file, leaving its offset alone.
bool WriteAllAt(int fd, const std::uint8_t* data, std::uint64_t count, std::uint64_t at);

}  // namespace salvora
