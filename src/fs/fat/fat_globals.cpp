#include "fs/fat/fat_globals.h"

namespace salvora {

std::atomic<bool> driveFormatted{false};

}  // namespace salvora
