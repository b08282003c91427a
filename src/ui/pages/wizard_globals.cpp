#include "ui/pages/wizard_globals.h"

namespace salvora::gui {

std::int32_t sourcePageId = 0;
bool sourceIsVolume = false;
std::atomic<bool> driveFormatted{false};

}  // namespace salvora::gui
