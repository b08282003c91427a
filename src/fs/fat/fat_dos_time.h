#pragma once
// DOS date and time words as FAT directory slots store them (local time, two-second resolution).
#include <cstdint>
#include <ctime>
#include <optional>

namespace salvora {

struct DosDate {
    int year = 1980;
    int month = 0;
    int day = 0;
};

struct DosTime {
    int hour = 0;
    int minute = 0;
    int second = 0;
};

DosDate DecodeDosDate(std::uint16_t date);
DosTime DecodeDosTime(std::uint16_t time);
// Day 1-31 and month 1-12.
bool DosDateValid(std::uint16_t date);
// Hour below 24, minutes at most 59, two-second count at most 29.
bool DosTimeValid(std::uint16_t time);
// The moment the words name, read as local time; empty when either word is not a valid date or time.
std::optional<std::time_t> DosToLocalTime(std::uint16_t date, std::uint16_t time);

}  // namespace salvora
