#pragma once
// Pause and Resume act at the workers' poll points, never by suspending a thread. Pauses nest like a suspend
// count: pausing twice needs two resumes. One worker runs at a time, so one gate serves the process.
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace salvora {

class PauseGate {
public:
    void Pause();
    void Resume();   // a resume without a pause is ignored
    void Reset();    // back to running, whatever the depth
    int Depth() const;
    // Blocks while paused; returns early once `stop` is set, so Stop always wins over Pause.
    void WaitWhilePaused(const std::atomic<bool>& stop);

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    int depth_ = 0;
};

PauseGate& ThePauseGate();

// The poll point of every long loop: waits while paused, then says whether to stop.
inline bool PollStop(const std::atomic<bool>& stop) {
    ThePauseGate().WaitWhilePaused(stop);
    return stop.load(std::memory_order_relaxed);
}

}  // namespace salvora
