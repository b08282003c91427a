#include "io/split_pass.h"

#include <cstring>

namespace salvora {
namespace {
constexpr std::size_t kPage = 4096;
}  // namespace

SplitPass::SplitPass(const VolumeWindow& window, std::uint64_t count, std::size_t blockBytes, std::size_t carryBytes)
    : window_(window),
      count_(count),
      blockBytes_(blockBytes),
      carryBytes_(std::min(carryBytes, blockBytes)),
      // The block itself starts on a page, where the kernel copies into it fastest.
      room_((carryBytes_ + kPage - 1) / kPage * kPage),
      own_(room_ + blockBytes_) {
    std::memset(BlockIn(own_) - carryBytes_, 0, carryBytes_);
    // One core gains nothing from a helper; a source that has failed before is read as it always was.
    if (count_ < 2 || std::thread::hardware_concurrency() < 2 || !window_.Healthy()) return;
    for (auto& slot : helped_) slot.emplace(Slot{PageBuffer(room_ + blockBytes_)});
    helper_ = std::thread([this] { Help(); });
}

SplitPass::~SplitPass() {
    if (!helper_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    helper_.join();
}

void SplitPass::Help() {
    for (std::uint64_t k = 1; k < count_; k += 2) {
        Slot& slot = *helped_[(k / 2) % 2];
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return quit_ || !slot.full; });
            if (quit_) return;
        }
        const bool whole = window_.ReadIfHealthy(k * blockBytes_, {BlockIn(slot.buffer), blockBytes_});
        {
            std::lock_guard lock(mutex_);
            slot.whole = whole;
            slot.full = true;
        }
        changed_.notify_all();
    }
}

std::uint8_t* SplitPass::Next(ByteRanges* missing) {
    if (next_ >= count_) return nullptr;
    const std::uint64_t k = next_++;
    Slot* slot = helper_.joinable() && k % 2 == 1 ? &*helped_[(k / 2) % 2] : nullptr;
    std::uint8_t* block = BlockIn(own_);
    if (slot != nullptr) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return slot->full; });
        block = BlockIn(slot->buffer);
    }
    if (last_ != nullptr) std::memcpy(block - carryBytes_, last_ + blockBytes_ - carryBytes_, carryBytes_);
    if (slot == nullptr && k > 0 && helper_.joinable()) {
        // The helper's previous block has given its carry: its buffer takes the block after next.
        {
            std::lock_guard lock(mutex_);
            helped_[((k - 1) / 2) % 2]->full = false;
        }
        changed_.notify_all();
    }
    // A block the helper could not read whole, or read after this thread first met a bad sector, is read
    // here: as if this thread had read every block.
    if (slot == nullptr || !slot->whole || !window_.Healthy())
        window_.ReadAt(k * blockBytes_, {block, blockBytes_}, missing);
    last_ = block;
    return block;
}

}  // namespace salvora
