// Child processes for the end-to-end tests: vkt-radio-sim serving a radio on
// a pty, and runs of the built `vkt` with their output and exit code.
#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <string>

#include "private_runtime.h"
#include "radio_sim_process.h"

namespace vkt::test {

// Runs `command` through the shell; what it writes to stdout is returned
// and the exit code stored in `status`.
inline std::string runShell(const std::string& command, int& status) {
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

// Runs `environment vkt arguments` through the shell; stdout is returned and
// the exit code stored in `status`.
inline std::string runVkt(const std::string& environment, const std::string& arguments,
                          int& status) {
    return runShell(privateRuntimeDir().environment() + " " + environment + " " +
                        std::string(VKT_BINARY) + " " + arguments + " 2>/dev/null",
                    status);
}

}  // namespace vkt::test
