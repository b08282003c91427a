#pragma once
// Formats whose header states the file's size: before that size is trusted, the rest of the header must be
// what the format writes. A stale header (a deleted file's first sector, a 14-byte BMP file header in front
// of other data) would otherwise claim up to 2 GiB of the card and hide every file inside that range.
#include <cstdint>
#include <string>

#include "io/bytes.h"

namespace salvora {

// sector: the header's first sector (512 bytes); size: the file size the size field gives. True for an
// extension without a check here.
bool SizedHeaderChecksOut(const std::string& extension, Bytes sector, std::int64_t size);

// The checks by format: BMP (file header, DIB header, and the pixel data the width, height and bit depth
// need), RIFF (form type and the chunk chain as far as the sector shows it) and CAB (CFHEADER fields and
// the first folder entry).
bool BmpHeaderChecksOut(Bytes sector, std::int64_t size);
bool RiffHeaderChecksOut(Bytes sector, std::int64_t size);
bool CabHeaderChecksOut(Bytes sector, std::int64_t size);

}  // namespace salvora
