#pragma once
// A whole-volume pass reads the next blocks while it looks at the last one. On a warm cache the kernel's copy
// and the scan each take about half of a pass; on two cores they overlap.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "io/page_buffer.h"

namespace salvora {

class ReadAhead {
  public:
    using ReadFn = std::function<void(std::uint64_t at, std::span<std::uint8_t> out)>;

    // Blocks of blockBytes from `from` to `to`, each with up to overlapBytes more (never past `to`), read by
    // read on one other thread: read must not be called from elsewhere while this object lives.
    ReadAhead(ReadFn read, std::uint64_t from, std::uint64_t to, std::size_t blockBytes, std::size_t overlapBytes = 0);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    struct Block {
        std::uint64_t at = 0;
        std::size_t length = 0;           // the block's own bytes
        std::span<const std::uint8_t> bytes;  // length plus the overlap; valid until the next call of Next
        explicit operator bool() const { return length != 0; }
    };
    // The next block in order; an empty one at the end.
    Block Next();

  private:
    static constexpr std::size_t kDepth = 3;
    struct Slot {
        PageBuffer buffer;
        std::uint64_t at = 0;
        std::size_t length = 0, withOverlap = 0;
        bool full = false;
    };
    void Fill(Slot& slot, std::uint64_t at);
    void Work();

    ReadFn read_;
    std::uint64_t to_;
    std::size_t blockBytes_, overlapBytes_;
    std::vector<Slot> slots_;
    std::uint64_t nextRead_;      // the worker's next block
    std::size_t nextTaken_ = 0;  // the slot Next hands out next
    bool holding_ = false;        // Next's last block is still in use
    bool quit_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread worker_;
};

}  // namespace salvora
