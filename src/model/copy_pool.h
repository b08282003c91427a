#pragma once
// The writing half of a save: a few threads create, write and close staged files while the walk reads the next
// ones. Creating a file costs more than reading a small one, so one thread writing left the reader idle.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "model/parser_base.h"

namespace salvora {

class CopyPool {
  public:
    struct Done {
        std::uint64_t seq = 0;
        std::string destPath;
        CopyResult result;
    };

    // threads 0 writes each copy at once on the submitting thread. afterWrite runs on the writing thread once
    // the file is closed (or failed), before the name counts as free again. Copies not yet begun when stop is
    // set are dropped.
    CopyPool(unsigned threads, std::uint64_t maxBytesInFlight, const std::atomic<bool>& stop,
             std::function<void(StagedCopy&)> afterWrite);
    ~CopyPool();
    CopyPool(const CopyPool&) = delete;
    CopyPool& operator=(const CopyPool&) = delete;

    // Two to four writers, by the cores there are.
    static unsigned DefaultThreads();

    // Copies go to the writers in batches, so that a small file does not cost a thread's wake-up; blocks while
    // the bytes in flight would pass the cap.
    void Submit(std::uint64_t seq, StagedCopy copy);
    // Waits until nothing is queued or being written; what was written or failed since the last call, in seq
    // order (dropped copies are not in it).
    std::vector<Done> Drain();
    // Hands what Submit holds to the writers now (before the caller works on something long).
    void Flush();

  private:
    struct Job {
        std::uint64_t seq;
        StagedCopy copy;
    };
    using Batch = std::vector<Job>;
    void Write(Job& job);
    void Run();

    const std::atomic<bool>& stop_;
    const std::uint64_t maxBytes_;
    const std::function<void(StagedCopy&)> afterWrite_;
    mutable std::mutex mutex_;
    std::condition_variable work_;   // a job was queued, or shutdown
    std::condition_variable space_;  // a job left: room in the queue, or maybe idle
    Batch batch_;  // filled by Submit, not yet queued
    std::uint64_t batchBytes_ = 0;
    std::deque<Batch> queue_;
    std::vector<Done> done_;
    std::uint64_t bytesInFlight_ = 0;
    std::size_t jobsInFlight_ = 0;  // queued and being written
    bool shutdown_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace salvora
