// Kept apart from every file that includes <termios.h>: the kernel's
// termios2 structure and the C library's termios clash in one unit.
#include "sim/pty_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace vkt::sim {

std::optional<std::uint32_t> terminalRate(int fd) {
#if defined(TCGETS2)
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return std::nullopt;
    if ((tio.c_cflag & CBAUD) == BOTHER)
        return tio.c_ospeed;
    // A standard rate code: the kernel fills c_ospeed for those as well.
    if (tio.c_ospeed)
        return tio.c_ospeed;
    return std::nullopt;
#else
    (void)fd;
    return std::nullopt;
#endif
}

bool setTerminalRate(int fd, std::uint32_t rate) {
#if defined(TCGETS2)
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ospeed = rate;
    tio.c_ispeed = rate;
    return ioctl(fd, TCSETS2, &tio) == 0;
#else
    (void)fd;
    (void)rate;
    return false;
#endif
}

}  // namespace vkt::sim
