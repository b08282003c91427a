#pragma once
// A whole-volume pass whose reads take two cores. On a warm cache the kernel's copy into the buffer is most of
// a pass, and one core copies at most as fast as `cat`: here this thread reads every other block itself and a
// helper reads the ones between. The blocks are still handed out one at a time, in order, so the scan that
// uses them stays on one thread. Only reads of a healthy source go to the helper; a block it could not read
// whole is read again here, so the bytes, the missing ranges and what the source learns of its bad sectors
// are what one thread reading every block would give.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "io/page_buffer.h"
#include "io/volume_window.h"

namespace salvora {

class SplitPass {
  public:
    // count blocks of blockBytes from the window's start. Each block comes with carryBytes before it that hold
    // the previous block's last bytes (zeros before the first), for patterns that straddle two blocks.
    // Throws std::bad_alloc when the buffers cannot be had.
    SplitPass(const VolumeWindow& window, std::uint64_t count, std::size_t blockBytes, std::size_t carryBytes);
    ~SplitPass();
    SplitPass(const SplitPass&) = delete;
    SplitPass& operator=(const SplitPass&) = delete;

    // The next block (blockBytes at the returned pointer, the carry before it), valid until the next call;
    // missing gets the ranges that could not be read. Null after the last block.
    std::uint8_t* Next(ByteRanges* missing);

  private:
    struct Slot {
        PageBuffer buffer;
        bool full = false;  // the helper's read is done (whether or not it read every byte)
        bool whole = false;
    };
    std::uint8_t* BlockIn(PageBuffer& buffer) { return buffer.data() + room_; }
    void Help();

    VolumeWindow window_;
    std::uint64_t count_;
    std::size_t blockBytes_, carryBytes_, room_;
    std::uint64_t next_ = 0;
    std::uint8_t* last_ = nullptr;  // the block handed out last
    PageBuffer own_;                // the blocks this thread reads
    std::optional<Slot> helped_[2];  // the helper's, for blocks 1, 5, 9 ... and 3, 7, 11 ...
    bool quit_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread helper_;
};

}  // namespace salvora
