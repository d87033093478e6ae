#include "app/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vkt {

InstanceLock::~InstanceLock() {
    release();
}

namespace {

// flock without waiting; 0 or the errno.
int lockNow(int fd) {
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

}  // namespace

InstanceLock::Result InstanceLock::acquire(const std::string& path, std::string& error) {
    release();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return Result::Failed;
    }
    if (const int reason = lockNow(fd); reason != 0) {
        ::close(fd);
        if (reason == EWOULDBLOCK)
            return Result::HeldElsewhere;
        error = path + ": " + std::strerror(reason);
        return Result::Failed;
    }
    fd_ = fd;
    return Result::Acquired;
}

InstanceLock::Result InstanceLock::adopt(int fd, const std::string& path, std::string& error) {
    release();
    struct stat byFd {};
    struct stat byPath {};
    if (fd < 0 || ::fstat(fd, &byFd) != 0 || ::lstat(path.c_str(), &byPath) != 0 ||
        !S_ISREG(byPath.st_mode) || byFd.st_dev != byPath.st_dev || byFd.st_ino != byPath.st_ino) {
        error = "descriptor " + std::to_string(fd) + " is not open on " + path;
        return Result::Failed;
    }
    if (const int reason = lockNow(fd); reason != 0) {
        if (reason == EWOULDBLOCK)
            return Result::HeldElsewhere;
        error = path + ": " + std::strerror(reason);
        return Result::Failed;
    }
    // Not inherited further: a program this one starts takes its own lock.
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
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
