#include "io/pause_gate.h"

#include <chrono>

namespace salvora {

void PauseGate::Pause() {
    std::lock_guard lock(mutex_);
    ++depth_;
}

void PauseGate::Resume() {
    {
        std::lock_guard lock(mutex_);
        if (depth_ > 0) --depth_;
    }
    wake_.notify_all();
}

void PauseGate::Reset() {
    {
        std::lock_guard lock(mutex_);
        depth_ = 0;
    }
    wake_.notify_all();
}

int PauseGate::Depth() const {
    std::lock_guard lock(mutex_);
    return depth_;
}

void PauseGate::WaitWhilePaused(const std::atomic<bool>& stop) {
    std::unique_lock lock(mutex_);
    // Stop is a plain flag set without the mutex, so wake now and then to look at it.
    while (depth_ > 0 && !stop.load()) wake_.wait_for(lock, std::chrono::milliseconds(50));
}

PauseGate& ThePauseGate() {
    static PauseGate gate;
    return gate;
}

}  // namespace salvora
