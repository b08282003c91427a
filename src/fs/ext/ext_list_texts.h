#pragma once
// The file list's texts for ext records: times are UTC on disk and shown in local time.
#include <ctime>
#include <string>

#include "fs/ext/ext_entry_record.h"
#include "model/parser_base.h"

namespace salvora {

// "MM/DD/YYYY  hh:mm AM" for local hours 0-12 as they are, "... PM" with the hour minus 12 for 13-23.
std::string FormatExtDateTime(std::time_t utcSeconds);
// Created (the change time), accessed and modified; no attribute text.
EntryTexts ExtEntryTexts(const ExtEntryRecord& record);

}  // namespace salvora
