#pragma once
// The file list's texts for FAT16 and FAT32 records: size, creation / access / modification times,
// attributes.
#include <cstdint>
#include <string>

#include "fs/fat/fat_entry_record.h"
#include "model/parser_base.h"

namespace salvora {

// "%.2f GB" / "%.2f MB" / "%.2f KB" by powers of 1,024, else "%lld Bytes".
std::string FormatFatSize(std::uint64_t bytes);
// "MM/DD/YYYY  hh:mm AM" for hours 0-12 as they are, "... PM" with the hour minus 12 for 13-23.
std::string FormatFatDateTime(std::uint16_t date, std::uint16_t time);
// Access dates carry no time: "MM/DD/YYYY " with a trailing blank.
std::string FormatFatDate(std::uint16_t date);
// "-R", "-H", "-S", "-A" in that order for the bits that are set.
std::string FormatFatAttributes(std::uint8_t attributes);
EntryTexts FatEntryTexts(const FatEntryRecord& record);

}  // namespace salvora
