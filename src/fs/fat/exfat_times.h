#pragma once
// exFAT timestamps and the list texts of an exFAT record. A timestamp is a DOS date (high word) and DOS time
// (low word) in the writer's local time; the UTC offset byte says which zone that was when its top bit is
// set.
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace salvora {

struct ExFatDateTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

ExFatDateTime SplitExFatTimestamp(std::uint32_t timestamp);
bool IsValidExFatDateTime(const ExFatDateTime& t);

// Minutes east of UTC, or nullopt when the offset's valid bit (0x80) is clear.
std::optional<int> ExFatUtcOffsetMinutes(std::uint8_t utcOffset);

// The moment a timestamp names: with a valid UTC offset the offset is taken off, otherwise the fields are
// read as local time. tenMs (0..199) adds hundredths of two seconds; larger values are ignored. nullopt for
// an impossible date or time, so that the caller leaves that time unset.
std::optional<timespec> ExFatTimestampToTimespec(std::uint32_t timestamp, std::uint8_t tenMs,
                                                 std::uint8_t utcOffset);

// "%02d/%02d/%d  %02d:%02d AM" / "... PM" from the timestamp's date and time words.
std::string FormatExFatDateTime(std::uint32_t timestamp);
// "%.2f GB", "%.2f MB", "%.2f KB" by powers of 1,024, else "%lld Bytes".
std::string FormatExFatSize(std::uint64_t bytes);
// "-R", "-H", "-S", "-A" from the attributes' low byte, in that order.
std::string FormatExFatAttributes(std::uint16_t attributes);

}  // namespace salvora
