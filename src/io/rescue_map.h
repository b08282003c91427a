#pragma once
// What is known of each byte of a failing source, in GNU ddrescue's mapfile format, so that ddrescue,
// ddrescuelog and Salvora can each read and go on with the others' work.
//
//   # current_pos  current_status  current_pass
//   0x00120000     ?               1
//   #      pos        size  status
//   0x00000000  0x00100000  +
//   0x00100000  0x00010000  *
//
// Block status: '?' not tried, '*' failed in a large read (not trimmed), '/' trimmed (not scraped), '-' bad
// sector(s), '+' read.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/file_read_seek.h"

namespace salvora {

inline constexpr char kNotTried = '?';
inline constexpr char kNotTrimmed = '*';
inline constexpr char kNotScraped = '/';
inline constexpr char kBadSector = '-';
inline constexpr char kRescued = '+';

struct MapBlock {
    std::uint64_t pos = 0;
    std::uint64_t size = 0;
    char status = kNotTried;
    bool operator==(const MapBlock&) const = default;
};

class RescueMap {
  public:
    // size bytes, none tried.
    explicit RescueMap(std::uint64_t size = 0);

    // The text of a mapfile; nullopt with *error set when it is not one (blocks out of order or overlapping,
    // an unknown status, a number that is not one).
    static std::optional<RescueMap> Parse(std::string_view text, std::string* error);
    static std::optional<RescueMap> Load(const std::string& path, std::string* error);

    // The mapfile's text. The comment lines say who wrote it and what it was doing.
    std::string Text(std::string_view commandLine = {}) const;
    // Written to a file beside path and renamed over it, so a crash leaves the old map or the new one.
    bool Save(const std::string& path, std::string* error) const;

    // [pos, pos + size) gets status; the map grows to cover it.
    void Mark(std::uint64_t pos, std::uint64_t size, char status);
    // Grows (not tried) or cuts the map to size bytes.
    void Resize(std::uint64_t size);

    std::uint64_t Size() const;
    std::vector<MapBlock> Blocks() const;
    // The blocks with status, in order, cut to [from, to).
    std::vector<MapBlock> BlocksWith(char status, std::uint64_t from = 0,
                                     std::uint64_t to = UINT64_MAX) const;
    std::uint64_t BytesWith(char status) const;
    // Every range whose status is not '+'.
    ByteRanges NotRescued() const;
    // The status at pos ('?' past the end).
    char StatusAt(std::uint64_t pos) const;

    std::uint64_t currentPos = 0;
    char currentStatus = kNotTried;  // '?' copying, '*' trimming, '/' scraping, '-' retrying, '+' finished
    int currentPass = 1;

  private:
    // pos -> (size, status); the blocks cover [0, Size()) without gaps, neighbours differ in status.
    std::map<std::uint64_t, std::pair<std::uint64_t, char>> blocks_;
    void Split(std::uint64_t at);
    void Join(std::map<std::uint64_t, std::pair<std::uint64_t, char>>::iterator it);
};

}  // namespace salvora
