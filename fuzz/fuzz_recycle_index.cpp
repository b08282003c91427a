// libFuzzer harness for the Recycle Bin's "$I" index parser: any bytes give a path or nothing, and a path is
// valid UTF-8 without NUL, no longer than the index could hold.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "scan/recycle_bin.h"

namespace {

bool ValidUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = c < 0x80             ? 1
                              : (c & 0xE0) == 0xC0 ? 2
                              : (c & 0xF0) == 0xE0 ? 3
                              : (c & 0xF8) == 0xF0 ? 4
                                                   : 0;
        if (n == 0 || (n == 2 && c < 0xC2) || i + n > s.size()) return false;
        char32_t cp = n == 1 ? c : c & (0xFF >> (n + 1));
        for (std::size_t k = 1; k < n; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || (cp >= 0xD800 && cp <= 0xDFFF) ||
            cp > 0x10FFFF)
            return false;
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto path = salvora::RecycleIndexFormerPath(salvora::Bytes(data, size));
    if (!path) return 0;
    // Each UTF-16 unit becomes at most three bytes of UTF-8 (a pair, four bytes for two units).
    if (path->empty() || path->size() > 3 * size / 2 || path->find('\0') != std::string::npos) std::abort();
    if (!ValidUtf8(*path)) std::abort();
    return 0;
}
