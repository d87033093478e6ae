// The child processes of `vkt fleet`: one `vkt` per cable, each with its own
// pipes for the JSON result (stdout), its messages (stderr) and, for an
// update, its progress lines (descriptor 3). A worker runs in its own process
// so that its error stack, cable and radio state are its own and its crash
// ends nothing else.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "cli/json_output.h"

namespace vkt::cli {

// The descriptor a worker writes its progress lines to (`--progress-fd 3`).
inline constexpr int kWorkerProgressFd = 3;
// The descriptor through which a worker shares the parent's radio lock.
inline constexpr int kWorkerLockFd = 4;

struct WorkerLaunch {
    std::vector<std::string> argv;  // argv[0] is the program's path
    bool progress = false;          // open a progress pipe on kWorkerProgressFd
    int lockFd = -1;                // hand this lock descriptor on as kWorkerLockFd
    // A process group of its own: a Ctrl-C on the terminal then reaches
    // only the parent, which passes each signal on exactly once.
    bool ownProcessGroup = false;
};

class Worker {
  public:
    using Clock = std::chrono::steady_clock;

    Worker() = default;
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Starts the process; false with `error` when it cannot be started.
    bool start(const WorkerLaunch& launch, std::string& error);

    bool running() const { return pid_ > 0 && !ended_; }
    bool ended() const { return ended_; }
    // Ended, and everything it wrote has been read.
    bool finished() const;
    pid_t pid() const { return pid_; }
    // After the end: the exit code, or -1 when a signal ended the process
    // (signal() names it).
    int exitCode() const { return exitCode_; }
    int signal() const { return signal_; }
    double seconds() const;

    // What the worker wrote: all of stdout, the last part of stderr.
    const std::string& output() const { return out_; }
    const std::string& messages() const { return err_; }
    // Progress lines that have arrived since the last call, without line ends.
    std::vector<std::string> takeProgressLines();

  private:
    friend class WorkerPool;
    struct Pipe {
        int fd = -1;
        std::string* sink = nullptr;
    };
    void readFrom(Pipe& pipe);
    void reap(bool wait);
    void closePipes();

    pid_t pid_ = -1;
    bool ended_ = false;
    int exitCode_ = -1;
    int signal_ = 0;
    Clock::time_point started_{};
    Clock::time_point ended_at_{};
    std::string out_;
    std::string err_;
    std::string progress_;
    std::vector<Pipe> pipes_;
};

// Runs started workers until each has ended, reading their pipes as they
// write. SIGINT, SIGTERM and SIGHUP to this process are passed on to every
// worker still running (see SignalWatch::forwardTo) while run() turns.
class WorkerPool {
  public:
    explicit WorkerPool(std::vector<Worker*> workers) : workers_(std::move(workers)) {}

    // `tick` runs at least every `interval` and after new output;
    // `onSignal` after a signal was passed on.
    void run(const std::function<void()>& tick, std::chrono::milliseconds interval,
             const std::function<void(int signal)>& onSignal);

  private:
    std::vector<Worker*> workers_;
};

// The JSON object of a worker that ran `vkt ... <command> --json`: the last
// line of its output that parses, or, for a worker that ended without one
// (it crashed, was killed, or a signal ended it before it had changed
// anything), a failure object made here from its exit and last messages.
Json finishedObject(const Worker& worker, const std::string& command);

// The path of this program, for starting workers (empty when unknown).
std::string ownExecutable();

}  // namespace vkt::cli
