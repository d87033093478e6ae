#include "link/tty_line.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <cerrno>

namespace vkt::tty {
namespace {

int get(int fd, termios2& t) {
    return ioctl(fd, TCGETS2, &t) == 0 ? 0 : errno;
}

// TCSETSW2 lets the output drain before the change takes effect.
int set(int fd, const termios2& t) {
    return ioctl(fd, TCSETSW2, &t) == 0 ? 0 : errno;
}

}  // namespace

int configureRaw(int fd) {
    termios2 t{};
    if (int e = get(fd, t))
        return e;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return set(fd, t);
}

int setLineRate(int fd, std::uint32_t rate) {
    if (rate == 0)
        return EINVAL;
    termios2 t{};
    if (int e = get(fd, t))
        return e;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    return set(fd, t);
}

std::uint32_t lineRate(int fd) {
    termios2 t{};
    if (get(fd, t) != 0)
        return 0;
    return t.c_ospeed;
}

int setDataBits(int fd, std::uint8_t wordLength, std::uint8_t stopBits, std::uint8_t parity) {
    if ((wordLength != 7 && wordLength != 8) || (stopBits != 0 && stopBits != 2) || parity > 2)
        return EINVAL;
    termios2 t{};
    if (int e = get(fd, t))
        return e;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    t.c_cflag |= wordLength == 8 ? CS8 : CS7;
    if (stopBits == 2)
        t.c_cflag |= CSTOPB;
    if (parity == 1)
        t.c_cflag |= PARENB | PARODD;
    if (parity == 2)
        t.c_cflag |= PARENB;
    return set(fd, t);
}

int setFlow(int fd, std::uint16_t flow, std::uint8_t xon, std::uint8_t xoff) {
    termios2 t{};
    if (int e = get(fd, t))
        return e;
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    if (flow == 0x0100) {
        t.c_cflag |= CRTSCTS;
    } else if (flow == 0x0400) {
        t.c_iflag |= IXON | IXOFF;
        t.c_cc[VSTART] = xon;
        t.c_cc[VSTOP] = xoff;
    } else if (flow != 0) {
        return EINVAL;
    }
    return set(fd, t);
}

int flush(int fd, bool receive, bool transmit) {
    if (!receive && !transmit)
        return 0;
    const int which = receive && transmit ? TCIOFLUSH : (receive ? TCIFLUSH : TCOFLUSH);
    return ioctl(fd, TCFLSH, which) == 0 ? 0 : errno;
}

int drain(int fd) {
    return ioctl(fd, TCSBRK, 1) == 0 ? 0 : errno;
}

}  // namespace vkt::tty
