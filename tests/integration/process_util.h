// Child processes for the end-to-end tests: vkt-radio-sim serving a radio on
// a pty, and runs of the built `vkt` with their output and exit code.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
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
    // SIGTERM and wait; the simulator writes its state files on the way out.
    int stop() {
        int status = -1;
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        return status;
    }

  private:
    pid_t pid_ = -1;
    std::string slave_;
};

// Runs `environment vkt arguments` through the shell; stdout is returned and
// the exit code stored in `status`.
inline std::string runVkt(const std::string& environment, const std::string& arguments,
                          int& status) {
    const std::string command =
        environment + " " + std::string(VKT_BINARY) + " " + arguments + " 2>/dev/null";
    std::string out;
    status = -1;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char buffer[512];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int rc = pclose(pipe);
    status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

}  // namespace vkt::test
