#pragma once
// Entry names of FAT16 and FAT32 directories: 8.3 short names (code page 437) and long names (UTF-16), both
// kept as UTF-8.
#include <cstdint>
#include <span>
#include <string>

#include "io/bytes.h"
#include "io/utf8.h"

namespace salvora {

enum class FatKind { Fat16, Fat32 };

// Unpaired surrogates become U+FFFD rather than dropping the name.
std::string Utf16ToUtf8(std::span<const char16_t> units);

// The 11 name bytes of a slot as characters: a first byte of 0xE5 (deleted) shows as U+FFE5, 0x05 stands for
// a live 0xE5, everything else is code page 437.
std::u32string ShortNameCharacters(Bytes slot);
// File names: '.' before the last three characters, blanks directly before that '.' removed; FAT32 then drops
// trailing blanks and after them trailing dots. ("README  TXT" -> "README.TXT"; "FILE" + 7 blanks -> FAT16
// "FILE    .   ", FAT32 "FILE    ".)
std::string TidyShortFileName(const std::u32string& characters, FatKind kind);
// Folder names: base and extension without their padding, so a folder is created and found under one name.
std::string TidyShortDirectoryName(const std::u32string& characters);

}  // namespace salvora
