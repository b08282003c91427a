#pragma once

namespace salvora {

// With TZ unset, glibc looks at /etc/localtime again on every mktime (three stats per saved FAT file). Naming
// that same file in TZ once, before any thread starts, keeps the zone and drops the lookups. A TZ the user set is
// left alone.
void PinLocalZone();

}  // namespace salvora
