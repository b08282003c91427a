#pragma once
#include <string>

namespace salvora {

// Appends one code point as UTF-8. Surrogates and values beyond U+10FFFF become U+FFFD: names read from a
// damaged disk must still turn into valid text rather than be dropped.
void AppendUtf8(std::string& out, char32_t codePoint);

}  // namespace salvora
