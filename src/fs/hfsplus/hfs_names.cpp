#include "fs/hfsplus/hfs_names.h"

#include <utf8proc.h>

#include <cstdlib>

#include "io/utf8.h"

namespace salvora {
namespace {}  // namespace

std::string HfsNameToUtf8(Bytes utf16be) {
    std::string decoded;
    const std::size_t units = utf16be.size() / 2;
    for (std::size_t i = 0; i < units; ++i) {
        char32_t c = be16(utf16be, 2 * i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
            const char32_t low = be16(utf16be, 2 * (i + 1));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        if (c == '/') c = ':';
        AppendUtf8(decoded, c);
    }
    // NUL is kept (the private data folder's name starts with four); utf8proc would stop at it, so only
    // names without one are composed.
    if (decoded.find('\0') != std::string::npos) return decoded;
    utf8proc_uint8_t* composed = utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(decoded.c_str()));
    if (!composed) return decoded;
    std::string out(reinterpret_cast<const char*>(composed));
    std::free(composed);
    return out;
}

}  // namespace salvora
