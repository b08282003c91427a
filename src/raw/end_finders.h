#pragma once
// Where a carved file ends, found while the volume streams past block by block. Each finder follows one
// header; it is shown every byte after that header exactly once, in order, as `Window`s of the stream.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace salvora {

// A slice of the stream: data[0] is the byte at volume offset `start`; the bytes from `fresh` on have not
// been shown before (the ones before it are the tail of the previous block, for patterns that straddle
// blocks).
struct Window {
    const std::uint8_t* data = nullptr;
    std::int64_t start = 0;
    std::int64_t fresh = 0;
    std::int64_t end = 0;  // exclusive
    std::uint8_t At(std::int64_t offset) const { return data[offset - start]; }
};

// First p in [from, to) where the pattern lies whole inside [from, to), honouring the '*' wildcard; -1 if
// none. A pattern shorter than 2 bytes never matches.
std::int64_t FindPattern(const Window& w, std::int64_t from, std::int64_t to,
                         std::span<const std::uint8_t> pattern);

// What Feed or Finish gives for a file that is given up: nothing is carved.
inline constexpr std::int64_t kNoEnd = -1;

class EndFinder {
  public:
    virtual ~EndFinder() = default;
    // The file's end (exclusive offset) once known from the bytes shown so far.
    virtual std::optional<std::int64_t> Feed(const Window& w) = 0;
    // The stream has ended: an end already known, if the rule can settle on one.
    virtual std::optional<std::int64_t> Finish() { return std::nullopt; }
    // No byte at or past `limit` belongs to this file (a newer header of the same type begins there).
    virtual void Limit(std::int64_t /*limit*/) {}
};

// limit: the file cannot end past start + approxSize (when above 0). The fallback footer is searched from
// where the structure stopped making sense; an empty one leaves such a file to its approximate size.
std::unique_ptr<EndFinder> MakeJpegEndFinder(std::int64_t start, std::int64_t approxSize,
                                             std::span<const std::uint8_t> fallbackFooter);
std::unique_ptr<EndFinder> MakeZipEndFinder(std::int64_t start, std::int64_t approxSize);
std::unique_ptr<EndFinder> MakePdfEndFinder(std::int64_t start, std::int64_t approxSize);

}  // namespace salvora
