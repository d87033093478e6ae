// Reads the line rate the host set on the slave side of a pseudo-terminal.
#pragma once

#include <cstdint>
#include <optional>

namespace vkt::sim {

// The output rate of the terminal behind `fd` (a pty master sees the
// slave's settings), or nothing when the system cannot tell.
std::optional<std::uint32_t> terminalRate(int fd);
// Sets both rates of the terminal behind `fd` to `rate` (any value).
bool setTerminalRate(int fd, std::uint32_t rate);

}  // namespace vkt::sim
