#include "fs/ext/ext_list_texts.h"

#include <cstdio>

namespace salvora {

std::string FormatExtDateTime(std::time_t utcSeconds) {
    std::tm local{};
    if (!::localtime_r(&utcSeconds, &local)) return {};
    char text[64];
    const bool pm = local.tm_hour >= 13;
    std::snprintf(text, sizeof text, pm ? "%02d/%02d/%d  %02d:%02d PM" : "%02d/%02d/%d  %02d:%02d AM",
                  local.tm_mon + 1, local.tm_mday, local.tm_year + 1900,
                  pm ? local.tm_hour - 12 : local.tm_hour, local.tm_min);
    return text;
}

EntryTexts ExtEntryTexts(const ExtEntryRecord& record) {
    return {FormatExtDateTime(record.changed.tv_sec),
            FormatExtDateTime(record.accessed.tv_sec),
            FormatExtDateTime(record.modified.tv_sec),
            {}};
}

}  // namespace salvora
