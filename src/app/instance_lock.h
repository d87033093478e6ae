// The single-instance lock: an exclusive flock on a file named from the
// fixed instance text and the region. The kernel drops the lock when the
// process ends, however it ends, so a crashed tool never blocks the next.
#pragma once

#include <string>

namespace vkt {

class InstanceLock {
  public:
    enum class Result { Acquired, HeldElsewhere, Failed };

    InstanceLock() = default;
    ~InstanceLock();  // release()
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Opens (creating it, mode 0600) the file at `path` and takes the lock
    // without waiting. Failed: `error` says why.
    Result acquire(const std::string& path, std::string& error);
    // Takes over the lock through `fd`, a descriptor inherited from the
    // process that holds it: `fd` must be open on the file at `path`, and the
    // lock is taken through it without waiting (which succeeds when its open
    // file is the one that holds the lock, or when nobody holds it).
    // HeldElsewhere or Failed leave `fd` alone.
    Result adopt(int fd, const std::string& path, std::string& error);
    void release();
    bool held() const { return fd_ >= 0; }
    // The descriptor that holds the lock (-1: none), for handing the lock to
    // child processes.
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

}  // namespace vkt
