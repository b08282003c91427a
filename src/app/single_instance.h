#pragma once
// One wizard per user session: an exclusive flock on a file in the runtime directory, held for the process's
// life. The kernel drops it when the process ends, however it ends.
#include <QString>

namespace salvora::gui {

// $XDG_RUNTIME_DIR/salvora.lock, else /tmp/salvora-<uid>.lock.
QString DefaultLockPath();

class SingleInstanceLock {
  public:
    explicit SingleInstanceLock(const QString& path = DefaultLockPath());
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    // False when another process holds the lock. A lock file that cannot be created at all does not stop the
    // program: one instance is a courtesy, not a safety rule (the source is only ever read).
    bool Acquired() const { return acquired_; }

  private:
    int fd_ = -1;
    bool acquired_ = false;
};

}  // namespace salvora::gui
