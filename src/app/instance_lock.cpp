#include "app/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vkt {

InstanceLock::~InstanceLock() {
    release();
}

InstanceLock::Result InstanceLock::acquire(const std::string& path, std::string& error) {
    release();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return Result::Failed;
    }
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int reason = errno;
        ::close(fd);
        if (reason == EWOULDBLOCK)
            return Result::HeldElsewhere;
        error = path + ": " + std::strerror(reason);
        return Result::Failed;
    }
    fd_ = fd;
    return Result::Acquired;
}

void InstanceLock::release() {
    if (fd_ < 0)
        return;
    ::close(fd_);  // closing the only descriptor drops the lock
    fd_ = -1;
}

}  // namespace vkt
