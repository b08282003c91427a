#pragma once
// The wizard's process globals besides theReader.
#include <atomic>
#include <cstdint>

namespace salvora::gui {

extern std::int32_t sourcePageId;  // the page that chose the source (130)
extern bool sourceIsVolume;        // a volume was chosen (by device or as a bare-volume image), not a drive
// The recovery-mode page's "Is Drive Formated..?" box, handed to the scan session it starts.
extern std::atomic<bool> driveFormatted;

}  // namespace salvora::gui
