// The built `vkt` as a child process of a test: started with its arguments
// (it inherits the environment, so a test bed and umockdev's preload library
// reach it), its standard output and error gathered, and waited for with a
// time limit.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace vkt::umock {

class VktProcess {
  public:
    explicit VktProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        args.insert(args.begin(), VKT_BINARY);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, VKT_BINARY, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        out_ = out[0];
    }
    ~VktProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    VktProcess(const VktProcess&) = delete;
    VktProcess& operator=(const VktProcess&) = delete;

    bool started() const { return pid_ > 0; }

    // Waits for the exit: the exit code, or -1 when the time ran out (the
    // process is killed) or it died of a signal.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        int status = 0;
        for (;;) {
            drain(20);
            const pid_t done = pid_ > 0 ? waitpid(pid_, &status, WNOHANG) : -1;
            if (done == pid_) {
                pid_ = -1;
                drain(0);
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (done < 0 || std::chrono::steady_clock::now() > end) {
                output_ += "\n[killed: no exit within the time limit]\n";
                return -1;
            }
        }
    }
    // Standard output and error, interleaved as written.
    const std::string& output() const { return output_; }

  private:
    void drain(int waitMs) {
        pollfd p{out_, POLLIN, 0};
        while (out_ >= 0 && poll(&p, 1, waitMs) > 0) {
            char buffer[4096];
            const ssize_t n = read(out_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            output_.append(buffer, static_cast<std::size_t>(n));
            waitMs = 0;
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

// Runs vkt to the end: exit code and output.
inline int runVkt(const std::vector<std::string>& args, std::string& output) {
    VktProcess p(args);
    const int code = p.wait();
    output = p.output();
    return code;
}

}  // namespace vkt::umock
