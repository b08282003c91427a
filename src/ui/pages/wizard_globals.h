#pragma once
// The wizard's process globals besides the core's theReader, totalSectors and driveFormatted.
#include <cstdint>

namespace salvora::gui {

extern std::int32_t sourcePageId;  // the page that chose the source (130)
extern bool sourceIsVolume;        // a volume was chosen (by device or as a bare-volume image), not a drive

}  // namespace salvora::gui
