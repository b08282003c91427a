#include "fs/fat/fat_list_texts.h"

#include <array>
#include <cstdio>

#include "fs/fat/fat_dos_time.h"

namespace salvora {
namespace {

constexpr std::uint16_t kFirstPmTime = 0x6800;  // 13:00

struct AttributeText {
    std::uint8_t bit;
    const char* text;
};
constexpr std::array<AttributeText, 4> kAttributeTexts{{
    {kAttrReadOnly, "-R"},
    {kAttrHidden, "-H"},
    {kAttrSystem, "-S"},
    {kAttrArchive, "-A"},
}};

}  // namespace

std::string FormatFatSize(std::uint64_t bytes) {
    char text[64];
    const double size = static_cast<double>(bytes);
    if (size / 1073741824.0 >= 1.0) {
        std::snprintf(text, sizeof text, "%.2f GB", size / 1073741824.0);
    } else if (size / 1048576.0 >= 1.0) {
        std::snprintf(text, sizeof text, "%.2f MB", size / 1048576.0);
    } else if (size / 1024.0 >= 1.0) {
        std::snprintf(text, sizeof text, "%.2f KB", size / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%lld Bytes", static_cast<long long>(bytes));
    }
    return text;
}

std::string FormatFatDateTime(std::uint16_t date, std::uint16_t time) {
    const DosDate d = DecodeDosDate(date);
    const DosTime t = DecodeDosTime(time);
    char text[64];
    if (time < kFirstPmTime) {
        std::snprintf(text, sizeof text, "%02d/%02d/%d  %02d:%02d AM", d.month, d.day, d.year, t.hour,
                      t.minute);
    } else {
        std::snprintf(text, sizeof text, "%02d/%02d/%d  %02d:%02d PM", d.month, d.day, d.year, t.hour - 12,
                      t.minute);
    }
    return text;
}

std::string FormatFatDate(std::uint16_t date) {
    const DosDate d = DecodeDosDate(date);
    char text[32];
    std::snprintf(text, sizeof text, "%02d/%02d/%d ", d.month, d.day, d.year);
    return text;
}

std::string FormatFatAttributes(std::uint8_t attributes) {
    std::string text;
    for (const auto& a : kAttributeTexts)
        if (attributes & a.bit) text += a.text;
    return text;
}

EntryTexts FatEntryTexts(const FatEntryRecord& record) {
    return EntryTexts{FormatFatDateTime(record.creationDate, record.creationTime),
                      FormatFatDate(record.lastAccessDate),
                      FormatFatDateTime(record.lastWriteDate, record.lastWriteTime),
                      FormatFatAttributes(record.attributes)};
}

}  // namespace salvora
