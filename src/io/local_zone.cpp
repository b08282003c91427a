#include "io/local_zone.h"

#include <cstdlib>
#include <ctime>

namespace salvora {

void PinLocalZone() {
    if (std::getenv("TZ") == nullptr) ::setenv("TZ", ":/etc/localtime", 0);
    ::tzset();
}

}  // namespace salvora
