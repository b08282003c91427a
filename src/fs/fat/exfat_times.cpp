#include "fs/fat/exfat_times.h"

#include <cstdio>

namespace salvora {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

ExFatDateTime SplitExFatTimestamp(std::uint32_t t) {
    ExFatDateTime d;
    d.year = static_cast<int>(t >> 25) + 1980;
    d.month = static_cast<int>((t >> 21) & 0xF);
    d.day = static_cast<int>((t >> 16) & 0x1F);
    d.hour = static_cast<int>((t >> 11) & 0x1F);
    d.minute = static_cast<int>((t >> 5) & 0x3F);
    d.second = static_cast<int>(t & 0x1F) * 2;
    return d;
}

bool IsValidExFatDateTime(const ExFatDateTime& t) {
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month)) return false;
    return t.hour <= 23 && t.minute <= 59 && t.second <= 59;
}

std::optional<int> ExFatUtcOffsetMinutes(std::uint8_t utcOffset) {
    if ((utcOffset & 0x80) == 0) return std::nullopt;
    int quarters = utcOffset & 0x7F;
    if (quarters & 0x40) quarters -= 0x80;  // seven-bit two's complement
    return quarters * 15;
}

std::optional<timespec> ExFatTimestampToTimespec(std::uint32_t timestamp, std::uint8_t tenMs,
                                                 std::uint8_t utcOffset) {
    const ExFatDateTime t = SplitExFatTimestamp(timestamp);
    if (!IsValidExFatDateTime(t)) return std::nullopt;
    std::int64_t seconds;
    if (const auto offset = ExFatUtcOffsetMinutes(utcOffset)) {
        seconds =
            DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) * 86400 +
            t.hour * 3600 + t.minute * 60 + t.second - static_cast<std::int64_t>(*offset) * 60;
    } else {
        std::tm tm{};
        tm.tm_year = t.year - 1900;
        tm.tm_mon = t.month - 1;
        tm.tm_mday = t.day;
        tm.tm_hour = t.hour;
        tm.tm_min = t.minute;
        tm.tm_sec = t.second;
        tm.tm_isdst = -1;
        const std::time_t local = std::mktime(&tm);
        if (local == static_cast<std::time_t>(-1)) return std::nullopt;
        seconds = local;
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    if (tenMs <= 199) {
        ts.tv_sec += tenMs / 100;
        ts.tv_nsec = static_cast<long>(tenMs % 100) * 10'000'000L;
    }
    return ts;
}

std::string FormatExFatDateTime(std::uint32_t timestamp) {
    const ExFatDateTime t = SplitExFatTimestamp(timestamp);
    const bool am = (timestamp & 0xFFFF) < 0x6800;
    char text[64];
    std::snprintf(text, sizeof text, am ? "%02d/%02d/%d  %02d:%02d AM" : "%02d/%02d/%d  %02d:%02d PM",
                  t.month, t.day, t.year, am ? t.hour : t.hour - 12, t.minute);
    return text;
}

std::string FormatExFatSize(std::uint64_t bytes) {
    const double size = static_cast<double>(bytes);
    char text[64];
    if (size / 1073741824.0 >= 1)
        std::snprintf(text, sizeof text, "%.2f GB", size / 1073741824.0);
    else if (size / 1048576.0 >= 1)
        std::snprintf(text, sizeof text, "%.2f MB", size / 1048576.0);
    else if (size / 1024.0 >= 1)
        std::snprintf(text, sizeof text, "%.2f KB", size / 1024.0);
    else
        std::snprintf(text, sizeof text, "%lld Bytes", static_cast<long long>(bytes));
    return text;
}

std::string FormatExFatAttributes(std::uint16_t attributes) {
    std::string text;
    if (attributes & 0x01) text += "-R";
    if (attributes & 0x02) text += "-H";
    if (attributes & 0x04) text += "-S";
    if (attributes & 0x20) text += "-A";
    return text;
}

}  // namespace salvora
