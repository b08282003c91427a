// libFuzzer harness for the header checks that decide whether a carved BMP, RIFF or CAB file's size field is
// trusted: the input's first eight bytes are the stated size (any value), the rest the header sector
// (zero-padded to 512 bytes, as the carving engine hands it over, or cut short).
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "raw/header_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return 0;
    std::int64_t stated = 0;
    std::memcpy(&stated, data, 8);
    std::array<std::uint8_t, 512> sector{};
    const std::size_t bytes = std::min<std::size_t>(size - 8, sector.size());
    std::memcpy(sector.data(), data + 8, bytes);
    for (const salvora::Bytes s : {salvora::Bytes(sector), salvora::Bytes(data + 8, bytes)}) {
        for (const char* ext : {"bmp", "BMP", "wav", "avi", "webp", "cab", "jpg"}) {
            const bool ok = salvora::SizedHeaderChecksOut(ext, s, stated);
            // A size smaller than the format's own header is never trusted.
            if (ok && ext[0] != 'j' && stated < 14) std::abort();
        }
    }
    return 0;
}
