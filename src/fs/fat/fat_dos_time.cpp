#include "fs/fat/fat_dos_time.h"

namespace salvora {

DosDate DecodeDosDate(std::uint16_t date) {
    return DosDate{1980 + (date >> 9), (date >> 5) & 0x0F, date & 0x1F};
}

DosTime DecodeDosTime(std::uint16_t time) {
    return DosTime{time >> 11, (time >> 5) & 0x3F, (time & 0x1F) * 2};
}

bool DosDateValid(std::uint16_t date) {
    const DosDate d = DecodeDosDate(date);
    return d.day >= 1 && d.month >= 1 && d.month <= 12;
}

bool DosTimeValid(std::uint16_t time) {
    const DosTime t = DecodeDosTime(time);
    return t.hour < 24 && t.minute <= 59 && t.second <= 58;
}

std::optional<std::time_t> DosToLocalTime(std::uint16_t date, std::uint16_t time) {
    if (!DosDateValid(date) || !DosTimeValid(time)) return std::nullopt;
    const DosDate d = DecodeDosDate(date);
    const DosTime t = DecodeDosTime(time);
    std::tm tm{};
    tm.tm_year = d.year - 1900;
    tm.tm_mon = d.month - 1;
    tm.tm_mday = d.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;  // let the zone rules decide, as the clock on the wall did
    const std::time_t when = std::mktime(&tm);
    if (when == static_cast<std::time_t>(-1)) return std::nullopt;
    return when;
}

}  // namespace salvora
