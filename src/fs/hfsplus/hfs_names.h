#pragma once
// Catalog names: UTF-16 big-endian, stored decomposed. Linux users type composed names, so they come out as
// composed (NFC) UTF-8.
#include <string>

#include "io/bytes.h"

namespace salvora {

// Unpaired surrogates become U+FFFD. A '/' (legal in a catalog name) becomes ':', as the Mac's own POSIX
// layer shows it, so a name is always one path component.
std::string HfsNameToUtf8(Bytes utf16be);

}  // namespace salvora
