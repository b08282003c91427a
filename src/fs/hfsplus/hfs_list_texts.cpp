#include "fs/hfsplus/hfs_list_texts.h"

#include <cstdio>

namespace salvora {
namespace {

struct PermissionBit {
    std::uint16_t bit;
    const char* text;
};

constexpr PermissionBit kPermissionTexts[] = {
    {0x40, "-Owner:X"}, {0x80, "-Owner:W"}, {0x100, "-Owner:R"}, {0x01, "-OX"}, {0x02, "-OW"},
    {0x04, "-OR"},      {0x08, "-GX"},      {0x10, "-GW"},       {0x20, "-GR"},
};

}  // namespace

std::string FormatHfsDate(std::uint32_t hfsDate) {
    const auto utc = static_cast<std::time_t>(HfsDateToUnix(hfsDate));
    std::tm local{};
    if (!::localtime_r(&utc, &local)) return {};
    char text[64];
    const bool pm = local.tm_hour >= 13;
    std::snprintf(text, sizeof text, pm ? "%02d/%02d/%d  %02d:%02d PM" : "%02d/%02d/%d  %02d:%02d AM",
                  local.tm_mon + 1, local.tm_mday, local.tm_year + 1900,
                  pm ? local.tm_hour - 12 : local.tm_hour, local.tm_min);
    return text;
}

std::string HfsPermissionText(std::uint16_t fileMode) {
    std::string text;
    for (const auto& p : kPermissionTexts)
        if (fileMode & p.bit) text += p.text;
    return text;
}

}  // namespace salvora
