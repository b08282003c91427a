#include "io/read_ahead.h"

#include <algorithm>

namespace salvora {

ReadAhead::ReadAhead(ReadFn read, std::uint64_t from, std::uint64_t to, std::size_t blockBytes,
                     std::size_t overlapBytes)
    : read_(std::move(read)),
      to_(to),
      blockBytes_(std::max<std::size_t>(blockBytes, 1)),
      overlapBytes_(overlapBytes),
      nextRead_(from) {
    const std::size_t size = static_cast<std::size_t>(
        std::min<std::uint64_t>(blockBytes_ + overlapBytes_, to > from ? to - from : 1));
    // One core gains nothing from a second thread: the blocks are read in Next.
    const std::size_t depth = std::thread::hardware_concurrency() > 1 ? kDepth : 1;
    slots_.reserve(depth);
    for (std::size_t i = 0; i < depth; ++i) slots_.push_back(Slot{PageBuffer(size)});
    if (depth > 1) worker_ = std::thread([this] { Work(); });
}

ReadAhead::~ReadAhead() {
    if (!worker_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

void ReadAhead::Fill(Slot& slot, std::uint64_t at) {
    slot.at = at;
    slot.length = at < to_ ? static_cast<std::size_t>(std::min<std::uint64_t>(blockBytes_, to_ - at)) : 0;
    slot.withOverlap = static_cast<std::size_t>(std::min<std::uint64_t>(slot.length + overlapBytes_, to_ - at));
    if (slot.length != 0) read_(at, {slot.buffer.data(), slot.withOverlap});
}

void ReadAhead::Work() {
    for (std::size_t w = 0;; w = (w + 1) % slots_.size()) {
        Slot& slot = slots_[w];
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return quit_ || !slot.full; });
            if (quit_) return;
        }
        const std::uint64_t at = nextRead_;
        Fill(slot, at);
        nextRead_ = at + slot.length;
        {
            std::lock_guard lock(mutex_);
            slot.full = true;
        }
        changed_.notify_all();
        if (slot.length == 0) return;
    }
}

ReadAhead::Block ReadAhead::Next() {
    if (!worker_.joinable()) {
        Slot& slot = slots_.front();
        Fill(slot, nextRead_);
        nextRead_ += slot.length;
        return {slot.at, slot.length, {slot.buffer.data(), slot.withOverlap}};
    }
    Slot* slot = nullptr;
    {
        std::unique_lock lock(mutex_);
        if (holding_) {
            slots_[(nextTaken_ + slots_.size() - 1) % slots_.size()].full = false;
            holding_ = false;
            changed_.notify_all();
        }
        slot = &slots_[nextTaken_];
        changed_.wait(lock, [&] { return slot->full; });
        if (slot->length == 0) return {};  // the end stays in its slot for later calls
        nextTaken_ = (nextTaken_ + 1) % slots_.size();
        holding_ = true;
    }
    return {slot->at, slot->length, {slot->buffer.data(), slot->withOverlap}};
}

}  // namespace salvora
