#include "cli/fleet_workers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "cli/cable_access.h"
#include "cli/cli_common.h"
#include "cli/signal_watch.h"

extern char** environ;

namespace vkt::cli {

namespace {

// How much of a worker's output is kept: its JSON object is far smaller, and
// of its messages the last part says what went wrong.
constexpr std::size_t kOutputLimit = 1 << 20;
constexpr std::size_t kMessageTail = 16 << 10;

bool startsWith(const char* text, const std::string& prefix) {
    return std::strncmp(text, prefix.c_str(), prefix.size()) == 0;
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// The worker's JSON object: the last line of its stdout that parses.
Json resultObject(const Worker& worker) {
    const std::string& out = worker.output();
    std::size_t end = out.size();
    while (end > 0) {
        std::size_t start = out.rfind('\n', end - 1);
        start = start == std::string::npos ? 0 : start + 1;
        Json parsed = Json::parse(out.substr(start, end - start), nullptr, false);
        if (parsed.is_object())
            return parsed;
        end = start == 0 ? 0 : start - 1;
    }
    return nullptr;
}

// The last non-empty lines of a worker's messages, for a worker that gave
// no result.
std::vector<std::string> lastMessages(const Worker& worker, std::size_t count) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : worker.messages()) {
        if (c == '\n') {
            if (!line.empty())
                lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    if (lines.size() > count)
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(count));
    return lines;
}

// A worker that ended without its JSON object (it crashed, was killed, or a
// signal ended it before it had changed anything): its object, made here.
Json objectOfSilentWorker(const Worker& worker, const std::string& command) {
    Json object = jsonEnvelope(command);
    Failure failure;
    if (worker.exitCode() == kExitSignal) {
        failure.category = "INTERRUPTED";
        failure.messages.emplace_back("Stopped by a signal before the radio was changed.");
    } else {
        failure.category = "OTHER";
        failure.messages.push_back(
            worker.signal() != 0 ? fmt::format("vkt {} ended on signal {} without a result",
                                               command, worker.signal())
                                 : fmt::format("vkt {} ended with exit code {} without a result",
                                               command, worker.exitCode()));
    }
    for (std::string& line : lastMessages(worker, 3))
        failure.messages.push_back(std::move(line));
    setJsonFailure(object, failure.messages.front(), failure);
    return object;
}

}  // namespace

Worker::~Worker() {
    closePipes();
    // A worker left running (its parent is being torn down after a failure
    // of its own) finishes on its own; it is only reaped if it has ended.
    if (pid_ > 0 && !ended_)
        reap(false);
}

bool Worker::start(const WorkerLaunch& launch, std::string& error) {
    // Everything the child needs is made before fork: between fork and exec
    // only async-signal-safe calls are allowed (other threads exist).
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (!startsWith(*e, std::string(kInheritedLockVariable) + "="))
            env.emplace_back(*e);
    }
    if (launch.lockFd >= 0)
        env.push_back(std::string(kInheritedLockVariable) + "=" + std::to_string(kWorkerLockFd));
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = launch.argv;
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    if (argv.size() < 2) {
        error = "no program to start";
        return false;
    }

    std::array<int, 2> out{-1, -1}, err{-1, -1}, progress{-1, -1};
    const auto fail = [&](const char* what) {
        error = std::string(what) + ": " + std::strerror(errno);
        for (auto* p : {&out, &err, &progress}) {
            closeFd((*p)[0]);
            closeFd((*p)[1]);
        }
        return false;
    };
    if (::pipe2(out.data(), O_CLOEXEC) != 0 || ::pipe2(err.data(), O_CLOEXEC) != 0 ||
        (launch.progress && ::pipe2(progress.data(), O_CLOEXEC) != 0))
        return fail("pipe");
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0)
        return fail("/dev/null");

    started_ = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(devNull);
        return fail("fork");
    }
    if (pid == 0) {
        if (launch.ownProcessGroup)
            ::setpgid(0, 0);
        // First every source above the targets, then onto the targets, so
        // that no source is overwritten by an earlier target.
        const std::array<int, 5> sources{devNull, out[1], err[1], progress[1], launch.lockFd};
        std::array<int, 5> high{-1, -1, -1, -1, -1};
        for (std::size_t i = 0; i < sources.size(); ++i) {
            if (sources[i] >= 0)
                high[i] = ::fcntl(sources[i], F_DUPFD_CLOEXEC, 10);
        }
        const std::array<int, 5> targets{0, 1, 2, kWorkerProgressFd, kWorkerLockFd};
        for (std::size_t i = 0; i < targets.size(); ++i) {
            if (high[i] >= 0)
                ::dup2(high[i], targets[i]);
        }
        // The signals the parent blocks for its watcher thread: the worker
        // installs its own watcher.
        ::execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    ::close(devNull);
    closeFd(out[1]);
    closeFd(err[1]);
    closeFd(progress[1]);
    pid_ = pid;
    pipes_.push_back({out[0], &out_});
    pipes_.push_back({err[0], &err_});
    if (progress[0] >= 0)
        pipes_.push_back({progress[0], &progress_});
    for (Pipe& p : pipes_)
        ::fcntl(p.fd, F_SETFL, ::fcntl(p.fd, F_GETFL) | O_NONBLOCK);
    return true;
}

bool Worker::finished() const {
    return ended_ &&
           std::all_of(pipes_.begin(), pipes_.end(), [](const Pipe& p) { return p.fd < 0; });
}

double Worker::seconds() const {
    const Clock::time_point end = ended_ ? ended_at_ : Clock::now();
    return std::chrono::duration<double>(end - started_).count();
}

std::vector<std::string> Worker::takeProgressLines() {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl = progress_.find('\n'); nl != std::string::npos;
         nl = progress_.find('\n', start)) {
        lines.push_back(progress_.substr(start, nl - start));
        start = nl + 1;
    }
    progress_.erase(0, start);
    return lines;
}

void Worker::readFrom(Pipe& pipe) {
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t n = ::read(pipe.fd, buffer.data(), buffer.size());
        if (n > 0) {
            pipe.sink->append(buffer.data(), static_cast<std::size_t>(n));
            if (pipe.sink == &err_ && err_.size() > 2 * kMessageTail)
                err_.erase(0, err_.size() - kMessageTail);
            if (pipe.sink != &err_ && pipe.sink->size() > kOutputLimit)
                pipe.sink->resize(kOutputLimit);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        closeFd(pipe.fd);  // end of file, or an error: nothing more comes
        return;
    }
}

void Worker::reap(bool wait) {
    if (pid_ <= 0 || ended_)
        return;
    int status = 0;
    pid_t done = 0;
    do {
        done = ::waitpid(pid_, &status, wait ? 0 : WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == 0)
        return;
    ended_ = true;
    ended_at_ = Clock::now();
    if (done < 0)
        return;  // not ours to wait for any more: reported as ended without a code
    if (WIFEXITED(status))
        exitCode_ = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        signal_ = WTERMSIG(status);
}

void Worker::closePipes() {
    for (Pipe& p : pipes_)
        closeFd(p.fd);
}

// ---------------------------------------------------------------------------

namespace {

// The write end of the pipe that carries signals from the watcher thread to
// the pool's loop (write is safe there; the loop does the rest).
std::atomic<int> signalPipeWriter{-1};

}  // namespace

void WorkerPool::run(const std::function<void()>& tick, std::chrono::milliseconds interval,
                     const std::function<void(int)>& onSignal) {
    std::array<int, 2> signals{-1, -1};
    if (::pipe2(signals.data(), O_CLOEXEC | O_NONBLOCK) == 0) {
        signalPipeWriter = signals[1];
        SignalWatch::forwardTo([](int signal) {
            const auto byte = static_cast<unsigned char>(signal);
            [[maybe_unused]] const ssize_t n = ::write(signalPipeWriter.load(), &byte, 1);
        });
    }
    auto last = Worker::Clock::now();
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<std::pair<Worker*, Worker::Pipe*>> owners;
        bool anyRunning = false;
        for (Worker* w : workers_) {
            for (Worker::Pipe& p : w->pipes_) {
                if (p.fd >= 0) {
                    fds.push_back({p.fd, POLLIN, 0});
                    owners.emplace_back(w, &p);
                }
            }
            w->reap(false);
            anyRunning = anyRunning || w->running();
        }
        if (!anyRunning && fds.empty())
            break;
        if (signals[0] >= 0)
            fds.push_back({signals[0], POLLIN, 0});
        // A worker whose pipes are closed but which has not ended yet is
        // looked at again after a short wait.
        const int timeout = static_cast<int>(owners.empty() ? 20 : interval.count());
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready > 0) {
            for (std::size_t i = 0; i < owners.size(); ++i) {
                if (fds[i].revents != 0)
                    owners[i].first->readFrom(*owners[i].second);
            }
            if (signals[0] >= 0 && fds.back().revents != 0) {
                unsigned char byte = 0;
                while (::read(signals[0], &byte, 1) == 1) {
                    for (Worker* w : workers_) {
                        if (w->running())
                            ::kill(w->pid(), byte);
                    }
                    if (onSignal)
                        onSignal(byte);
                }
            }
        }
        const auto now = Worker::Clock::now();
        if (ready > 0 || now - last >= interval) {
            last = now;
            if (tick)
                tick();
        }
    }
    if (signals[0] >= 0) {
        SignalWatch::forwardTo(nullptr);
        signalPipeWriter = -1;
        ::close(signals[0]);
        ::close(signals[1]);
    }
    if (tick)
        tick();
}

Json finishedObject(const Worker& worker, const std::string& command) {
    Json object = resultObject(worker);
    return object.is_object() ? object : objectOfSilentWorker(worker, command);
}

std::string ownExecutable() {
    std::error_code ec;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

}  // namespace vkt::cli
