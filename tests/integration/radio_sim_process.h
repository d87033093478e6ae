// vkt-radio-sim as a child process serving a radio on a pty, for the tests
// that talk to it through its pseudo-terminal.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vkt::test {

class RadioSimProcess {
  public:
    explicit RadioSimProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        args.insert(args.begin(), VKT_RADIO_SIM_PATH);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, VKT_RADIO_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        // The first line of its output is the pty's path: the radio is ready.
        char c = 0;
        pollfd p{out[0], POLLIN, 0};
        while (pid_ > 0 && poll(&p, 1, 5000) > 0 && read(out[0], &c, 1) == 1 && c != '\n')
            slave_ += c;
        close(out[0]);
    }
    ~RadioSimProcess() { stop(); }
    RadioSimProcess(const RadioSimProcess&) = delete;
    RadioSimProcess& operator=(const RadioSimProcess&) = delete;

    bool ready() const { return pid_ > 0 && !slave_.empty(); }
    const std::string& slave() const { return slave_; }
    // SIGTERM, then up to 5 s for the exit (the simulator writes its state
    // files on the way out); one that ignores it is killed and reported as
    // signalled. The wait status, or -1 when there was no process.
    int stop() {
        int status = -1;
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (waitpid(pid_, &status, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > end) {
                    kill(pid_, SIGKILL);
                    waitpid(pid_, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        pid_ = -1;
        return status;
    }

  private:
    pid_t pid_ = -1;
    std::string slave_;
};

}  // namespace vkt::test
