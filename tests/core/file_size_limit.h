// A full disk for the tests, without root: while a FileSizeLimit lives, no
// regular file of this process may grow past `bytes` (RLIMIT_FSIZE). The
// signal the kernel sends at the limit is ignored, so writes fail with EFBIG
// the way they fail on a full disk (a write may be cut short at the limit).
#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <cstdint>

namespace vkt::testing {

class FileSizeLimit {
  public:
    explicit FileSizeLimit(std::uint64_t bytes) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        signalSaved_ = sigaction(SIGXFSZ, &ignore, &savedAction_) == 0;
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limit = saved_;
        limit.rlim_cur = static_cast<rlim_t>(bytes);
        active_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() { release(); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool active() const { return active_; }
    void release() {
        if (active_)
            setrlimit(RLIMIT_FSIZE, &saved_);
        if (signalSaved_)
            sigaction(SIGXFSZ, &savedAction_, nullptr);
        active_ = false;
        signalSaved_ = false;
    }

  private:
    rlimit saved_{};
    struct sigaction savedAction_ {};
    bool active_ = false;
    bool signalSaved_ = false;
};

}  // namespace vkt::testing
