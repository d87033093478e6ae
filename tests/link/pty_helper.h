// Pseudo-terminals for the tty back-end tests: the test holds the master
// side and names the slave side in VKT_TTY_PORTS.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "link/tty_driver.h"

namespace vkt::test {

struct Pty {
    int master = -1;
    std::string path;

    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            path = ptsname(master);
        }
    }
    ~Pty() { closeMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master >= 0 && !path.empty(); }
    void closeMaster() {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    // Reads what the slave side sent, waiting up to timeoutMs for each piece.
    std::vector<std::uint8_t> readMaster(std::size_t count, int timeoutMs = 2000) const {
        std::vector<std::uint8_t> out;
        while (out.size() < count) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0)
                break;
            std::uint8_t buffer[512];
            const ssize_t n = ::read(master, buffer, std::min(sizeof buffer, count - out.size()));
            if (n <= 0)
                break;
            out.insert(out.end(), buffer, buffer + n);
        }
        return out;
    }
    bool writeMaster(const std::vector<std::uint8_t>& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
};

// Sets VKT_TTY_PORTS for the scope of the object.
class TtyPortsEnv {
  public:
    explicit TtyPortsEnv(const std::string& value) {
        if (const char* old = getenv("VKT_TTY_PORTS")) {
            old_ = old;
            hadOld_ = true;
        }
        setenv("VKT_TTY_PORTS", value.c_str(), 1);
    }
    ~TtyPortsEnv() {
        if (hadOld_) {
            setenv("VKT_TTY_PORTS", old_.c_str(), 1);
        } else {
            unsetenv("VKT_TTY_PORTS");
        }
    }

  private:
    std::string old_;
    bool hadOld_ = false;
};

// Index of the first VKT_TTY_PORTS entry: after the machine's USB ports.
inline int firstListedIndex() {
    return static_cast<int>(listUsbSerialTtys().size());
}

}  // namespace vkt::test
