#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace salvora::gui {

QString DefaultLockPath() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && ::access(runtime.constData(), W_OK) == 0)
        return QString::fromLocal8Bit(runtime) + "/salvora.lock";
    return QStringLiteral("/tmp/salvora-%1.lock").arg(::getuid());
}

SingleInstanceLock::SingleInstanceLock(const QString& path) {
    // O_NOFOLLOW: in /tmp another user could plant a link where our lock file goes.
    fd_ = ::open(path.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
        acquired_ = true;
        return;
    }
    int rc;
    do {
        rc = ::flock(fd_, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    acquired_ = rc == 0;
}

SingleInstanceLock::~SingleInstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace salvora::gui
