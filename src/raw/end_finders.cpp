#include "raw/end_finders.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace salvora {
namespace {

constexpr std::uint8_t kWildcard = 0x2A;
constexpr std::int64_t kUnbounded = std::numeric_limits<std::int64_t>::max();

std::int64_t LimitFor(std::int64_t start, std::int64_t approxSize) {
    return approxSize > 0 && approxSize < kUnbounded - start ? start + approxSize : kUnbounded;
}

std::uint32_t WindowLe32(const Window& w, std::int64_t at) {
    return static_cast<std::uint32_t>(w.At(at)) | (static_cast<std::uint32_t>(w.At(at + 1)) << 8) |
           (static_cast<std::uint32_t>(w.At(at + 2)) << 16) |
           (static_cast<std::uint32_t>(w.At(at + 3)) << 24);
}

// JPEG: follows the segment lengths, so the thumbnail inside an APP1 segment is stepped over whole, then the
// entropy-coded data up to the end-of-image marker that is not inside any segment.
class JpegEndFinder final : public EndFinder {
  public:
    JpegEndFinder(std::int64_t start, std::int64_t approxSize, std::span<const std::uint8_t> footer)
        : limit_(LimitFor(start, approxSize)), pos_(start + 2), footer_(footer.begin(), footer.end()) {}

    std::optional<std::int64_t> Feed(const Window& w) override {
        const std::int64_t end = std::min(w.end, limit_);
        if (state_ == State::Footer) {
            const std::int64_t at = FindPattern(w, pos_, end, footer_);
            if (at >= 0) return at + static_cast<std::int64_t>(footer_.size());
            if (!footer_.empty()) pos_ = std::max(pos_, end - static_cast<std::int64_t>(footer_.size()) + 1);
        } else {
            if (const auto found = Parse(w, end)) return found;
        }
        if (w.end >= limit_) return limit_;
        if (state_ == State::Footer && footer_.empty() && limit_ == kUnbounded) return kNoEnd;
        return std::nullopt;
    }

  private:
    enum class State { Marker, Code, LengthHigh, LengthLow, Entropy, EntropyFF, Footer };

    void Fail() { state_ = State::Footer; }  // the footer is searched from the byte that broke the structure

    std::optional<std::int64_t> Parse(const Window& w, std::int64_t end) {
        while (pos_ < end && state_ != State::Footer) {
            const std::uint8_t b = w.At(pos_);
            switch (state_) {
                case State::Marker:
                    if (b != 0xFF) {
                        Fail();
                        break;
                    }
                    ++pos_;
                    state_ = State::Code;
                    break;
                case State::Code:
                case State::EntropyFF:
                    if (b == 0xFF) {
                        ++pos_;  // fill byte
                    } else if (b == 0xD9) {
                        return pos_ + 1;
                    } else if (state_ == State::EntropyFF && (b == 0x00 || (b >= 0xD0 && b <= 0xD7))) {
                        ++pos_;  // stuffed byte or restart marker: still scan data
                        state_ = State::Entropy;
                    } else if (b == 0x01 || (b >= 0xD0 && b <= 0xD7)) {
                        ++pos_;
                        state_ = State::Marker;
                    } else if (b < 0xC0 || b == 0xD8) {
                        --pos_;  // the footer may begin with the 0xFF before this byte
                        Fail();
                    } else {
                        code_ = b;
                        ++pos_;
                        state_ = State::LengthHigh;
                    }
                    break;
                case State::LengthHigh:
                    lengthHigh_ = b;
                    ++pos_;
                    state_ = State::LengthLow;
                    break;
                case State::LengthLow: {
                    const int length = (lengthHigh_ << 8) | b;
                    if (length < 2) {
                        Fail();
                        break;
                    }
                    pos_ += 1 + (length - 2);
                    state_ = code_ == 0xDA ? State::Entropy : State::Marker;
                    break;
                }
                case State::Entropy: {
                    const void* ff =
                        std::memchr(w.data + (pos_ - w.start), 0xFF, static_cast<std::size_t>(end - pos_));
                    if (!ff) {
                        pos_ = end;
                    } else {
                        pos_ = w.start + (static_cast<const std::uint8_t*>(ff) - w.data) + 1;
                        state_ = State::EntropyFF;
                    }
                    break;
                }
                case State::Footer:
                    break;
            }
        }
        if (state_ == State::Footer) {
            const std::int64_t at = FindPattern(w, pos_, end, footer_);
            if (at >= 0) return at + static_cast<std::int64_t>(footer_.size());
            if (!footer_.empty()) pos_ = std::max(pos_, end - static_cast<std::int64_t>(footer_.size()) + 1);
        }
        return std::nullopt;
    }

    std::int64_t limit_;
    std::int64_t pos_;  // the next byte to look at
    std::vector<std::uint8_t> footer_;
    State state_ = State::Marker;
    std::uint8_t code_ = 0;
    int lengthHigh_ = 0;
};

// ZIP: the end-of-central-directory record whose directory lies right before it, counted from this archive's
// start; a nested archive's record (its offsets count from its own start) does not fit and is passed over.
class ZipEndFinder final : public EndFinder {
  public:
    ZipEndFinder(std::int64_t start, std::int64_t approxSize)
        : start_(start), limit_(LimitFor(start, approxSize)), pos_(start + 4) {}

    std::optional<std::int64_t> Feed(const Window& w) override {
        static constexpr std::uint8_t kEocd[] = {'P', 'K', 0x05, 0x06};
        constexpr std::int64_t kEocdBytes = 22;
        const std::int64_t end = std::min(w.end, limit_);
        for (;;) {
            const std::int64_t at = FindPattern(w, pos_, end, kEocd);
            if (at < 0) {
                pos_ = std::max(pos_, end - kEocdBytes + 1);
                break;
            }
            if (at + kEocdBytes > end) {
                pos_ = at;  // the rest of the record comes with the next block
                break;
            }
            const std::uint32_t directoryBytes = WindowLe32(w, at + 12);
            const std::uint32_t directoryOffset = WindowLe32(w, at + 16);
            const std::int64_t commentBytes = w.At(at + 20) | (w.At(at + 21) << 8);
            const bool zip64 = directoryBytes == 0xFFFFFFFF || directoryOffset == 0xFFFFFFFF;
            if (zip64 || static_cast<std::int64_t>(directoryOffset) + directoryBytes == at - start_)
                return at + kEocdBytes + commentBytes;
            pos_ = at + 1;
        }
        if (w.end >= limit_) return limit_;
        return std::nullopt;
    }

  private:
    std::int64_t start_;
    std::int64_t limit_;
    std::int64_t pos_;
};

// PDF: the line break after its last %%EOF. An incremental update (or the rest of a linearized file) follows
// a
// %%EOF directly with its objects or cross-reference table; anything else after it is no longer this file.
// The approximate size and the next PDF header bound the search. Without an approximate size the first %%EOF
// ends it.
class PdfEndFinder final : public EndFinder {
  public:
    PdfEndFinder(std::int64_t start, std::int64_t approxSize)
        : limit_(LimitFor(start, approxSize)), firstOnly_(approxSize <= 0), pos_(start + 5) {}

    void Limit(std::int64_t limit) override { limit_ = std::min(limit_, limit); }

    std::optional<std::int64_t> Feed(const Window& w) override {
        static constexpr std::uint8_t kEof[] = {'%', '%', 'E', 'O', 'F'};
        constexpr std::int64_t kLookAhead = 5 + 2 + kMaxBlanks + 4;  // %%EOF, line break, blanks, "xref"
        const std::int64_t end = std::min(w.end, limit_);
        for (;;) {
            const std::int64_t at = FindPattern(w, pos_, end, kEof);
            if (at < 0) {
                pos_ = std::max(pos_, end - 4);
                break;
            }
            if (at + kLookAhead > w.end && w.end < limit_) {
                pos_ = at;  // what follows it comes with the next block
                break;
            }
            std::int64_t after = at + 5;
            if (after < end && w.At(after) == '\r') ++after;
            if (after < end && w.At(after) == '\n') ++after;
            lastEnd_ = after;
            if (firstOnly_ || !UpdateFollows(w, after, end)) return lastEnd_;
            pos_ = at + 5;
        }
        if (w.end >= limit_) return lastEnd_ >= 0 ? lastEnd_ : limit_;
        return std::nullopt;
    }

    std::optional<std::int64_t> Finish() override {
        if (lastEnd_ >= 0) return lastEnd_;
        return std::nullopt;
    }

  private:
    static constexpr std::int64_t kMaxBlanks = 16;

    // After a %%EOF: an object number ("12 0 obj") or "xref" means the file goes on.
    static bool UpdateFollows(const Window& w, std::int64_t at, std::int64_t end) {
        const std::int64_t stop = std::min(end, at + kMaxBlanks);
        while (at < stop && (w.At(at) == ' ' || w.At(at) == '\r' || w.At(at) == '\n' || w.At(at) == '\t'))
            ++at;
        if (at >= end) return false;
        const std::uint8_t c = w.At(at);
        if (c >= '1' && c <= '9') return true;
        return at + 4 <= end && w.At(at) == 'x' && w.At(at + 1) == 'r' && w.At(at + 2) == 'e' &&
               w.At(at + 3) == 'f';
    }

    std::int64_t limit_;
    bool firstOnly_;
    std::int64_t pos_;
    std::int64_t lastEnd_ = -1;
};

}  // namespace

std::int64_t FindPattern(const Window& w, std::int64_t from, std::int64_t to,
                         std::span<const std::uint8_t> pattern) {
    const auto length = static_cast<std::int64_t>(pattern.size());
    if (length < 2) return -1;
    from = std::max(from, w.start);
    to = std::min(to, w.end);
    if (to - from < length) return -1;
    // Search for the longest run without a wildcard, then check the pattern around each hit.
    std::int64_t anchor = 0, anchorLength = 0;
    for (std::int64_t i = 0; i < length;) {
        if (pattern[i] == kWildcard) {
            ++i;
            continue;
        }
        std::int64_t j = i;
        while (j < length && pattern[j] != kWildcard) ++j;
        if (j - i > anchorLength) anchor = i, anchorLength = j - i;
        i = j;
    }
    if (anchorLength == 0) return from;
    // Offsets below are volume offsets; w.data[offset - w.start] is the byte at one.
    std::int64_t hay = from + anchor;
    const std::int64_t hayEnd = to - length + anchor + anchorLength;
    while (hay + anchorLength <= hayEnd) {
        const void* hit = memmem(w.data + (hay - w.start), static_cast<std::size_t>(hayEnd - hay),
                                 pattern.data() + anchor, static_cast<std::size_t>(anchorLength));
        if (!hit) return -1;
        const std::int64_t at = w.start + (static_cast<const std::uint8_t*>(hit) - w.data) - anchor;
        bool whole = true;
        for (std::int64_t i = 0; i < length && whole; ++i)
            whole = pattern[i] == kWildcard || w.At(at + i) == pattern[i];
        if (whole) return at;
        hay = at + anchor + 1;
    }
    return -1;
}

std::unique_ptr<EndFinder> MakeJpegEndFinder(std::int64_t start, std::int64_t approxSize,
                                             std::span<const std::uint8_t> fallbackFooter) {
    return std::make_unique<JpegEndFinder>(start, approxSize, fallbackFooter);
}

std::unique_ptr<EndFinder> MakeZipEndFinder(std::int64_t start, std::int64_t approxSize) {
    return std::make_unique<ZipEndFinder>(start, approxSize);
}

std::unique_ptr<EndFinder> MakePdfEndFinder(std::int64_t start, std::int64_t approxSize) {
    return std::make_unique<PdfEndFinder>(start, approxSize);
}

}  // namespace salvora
