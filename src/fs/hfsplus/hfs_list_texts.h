#pragma once
// List texts of HFS+ entries: dates (UTC seconds since 1904) in local time, and the permission text.
#include <cstdint>
#include <ctime>
#include <string>

namespace salvora {

// Seconds from 1904-01-01 to 1970-01-01.
inline constexpr std::int64_t kHfsEpochToUnix = 2082844800;

inline std::int64_t HfsDateToUnix(std::uint32_t hfsDate) {
    return static_cast<std::int64_t>(hfsDate) - kHfsEpochToUnix;
}

// "%02d/%02d/%d  %02d:%02d AM" for hours 0 to 12, "... PM" with the hour - 12 above; local time.
std::string FormatHfsDate(std::uint32_t hfsDate);
// "-Owner:X", "-Owner:W", "-Owner:R", "-OX", "-OW", "-OR", "-GX", "-GW", "-GR", in that order.
std::string HfsPermissionText(std::uint16_t fileMode);

}  // namespace salvora
