#include "fs/ext/ext_list_texts.h"

#include <cstdio>

namespace salvora {

std::string FormatExtDateTime(std::time_t utcSeconds) {
    // The text shows minutes, and zone offsets are whole minutes: every second of one UTC minute gives the
    // same text. Files of one volume share few minutes, and a listing asks three times per entry.
    const std::time_t minute = utcSeconds >= 0 ? utcSeconds / 60 : (utcSeconds - 59) / 60;
    thread_local std::time_t cachedMinute = 0;
    thread_local std::string cachedText;
    thread_local bool cached = false;
    if (cached && minute == cachedMinute) return cachedText;
    std::tm local{};
    if (!::localtime_r(&utcSeconds, &local)) return {};
    char text[64];
    const bool pm = local.tm_hour >= 13;
    std::snprintf(text, sizeof text, pm ? "%02d/%02d/%d  %02d:%02d PM" : "%02d/%02d/%d  %02d:%02d AM",
                  local.tm_mon + 1, local.tm_mday, local.tm_year + 1900,
                  pm ? local.tm_hour - 12 : local.tm_hour, local.tm_min);
    cachedMinute = minute;
    cachedText = text;
    cached = true;
    return text;
}

EntryTexts ExtEntryTexts(const ExtEntryRecord& record) {
    return {FormatExtDateTime(record.changed.tv_sec),
            FormatExtDateTime(record.accessed.tv_sec),
            FormatExtDateTime(record.modified.tv_sec),
            {}};
}

}  // namespace salvora
