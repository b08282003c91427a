#include "model/copy_pool.h"

#include <algorithm>
#include <iterator>

#include "io/pause_gate.h"
#include "model/entry_copier.h"

namespace salvora {
namespace {

// Enough to keep the writers busy behind a reader of small files, few enough that Stop is felt at once.
constexpr std::size_t kMaxJobs = 4096;
constexpr std::size_t kBatchJobs = 64;
constexpr std::uint64_t kBatchBytes = 1u << 20;

}  // namespace

CopyPool::CopyPool(unsigned threads, std::uint64_t maxBytesInFlight, const std::atomic<bool>& stop,
                   std::function<void(StagedCopy&)> afterWrite)
    : stop_(stop), maxBytes_(maxBytesInFlight), afterWrite_(std::move(afterWrite)) {
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

CopyPool::~CopyPool() {
    {
        std::lock_guard lock(mutex_);
        shutdown_ = true;
    }
    work_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

unsigned CopyPool::DefaultThreads() { return std::clamp(std::thread::hardware_concurrency(), 2u, 4u); }

void CopyPool::Write(Job& job) {
    WriteStaged(job.copy);
    if (afterWrite_) afterWrite_(job.copy);
}

void CopyPool::Submit(std::uint64_t seq, StagedCopy copy) {
    if (threads_.empty()) {
        Job job{seq, std::move(copy)};
        Write(job);
        done_.push_back({seq, std::move(job.copy.destPath), job.copy.result});
        return;
    }
    batchBytes_ += copy.bytes.size();
    batch_.push_back({seq, std::move(copy)});
    if (batch_.size() >= kBatchJobs || batchBytes_ >= kBatchBytes) Flush();
}

void CopyPool::Flush() {
    if (batch_.empty()) return;
    const std::uint64_t bytes = batchBytes_;
    std::unique_lock lock(mutex_);
    space_.wait(lock, [&] {
        return jobsInFlight_ == 0 || (jobsInFlight_ < kMaxJobs && bytesInFlight_ + bytes <= maxBytes_);
    });
    bytesInFlight_ += bytes;
    jobsInFlight_ += batch_.size();
    queue_.push_back(std::move(batch_));
    lock.unlock();
    work_.notify_one();
    batch_ = {};
    batchBytes_ = 0;
}

void CopyPool::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [&] { return shutdown_ || !queue_.empty(); });
        if (queue_.empty()) return;  // shut down
        Batch batch = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        std::vector<Done> done;
        done.reserve(batch.size());
        std::uint64_t bytes = 0;
        for (Job& job : batch) {
            bytes += job.copy.bytes.size();
            // The pause holds writers too; Stop drops what has not begun, so no file is started after it.
            if (PollStop(stop_)) continue;
            Write(job);
            done.push_back({job.seq, std::move(job.copy.destPath), job.copy.result});
            std::vector<std::uint8_t>().swap(job.copy.bytes);
        }
        lock.lock();
        done_.insert(done_.end(), std::make_move_iterator(done.begin()), std::make_move_iterator(done.end()));
        bytesInFlight_ -= bytes;
        jobsInFlight_ -= batch.size();
        space_.notify_all();
    }
}

std::vector<CopyPool::Done> CopyPool::Drain() {
    Flush();
    std::unique_lock lock(mutex_);
    space_.wait(lock, [&] { return jobsInFlight_ == 0; });
    std::vector<Done> done = std::move(done_);
    done_.clear();
    lock.unlock();
    std::sort(done.begin(), done.end(), [](const Done& a, const Done& b) { return a.seq < b.seq; });
    return done;
}

}  // namespace salvora
