// The requests the update commands send, judged the one way: a request
// succeeded when its result is not negative and the radio answered with the
// opcode the request expects. The requests push their own messages.
#pragma once

#include <cstdint>
#include <span>

#include "update/transfer.h"

namespace vkt {

class SBEP;

namespace requests {

inline constexpr std::uint32_t kWorkRate = 240000;  // line rate for flash work
inline constexpr std::uint32_t kHomeRate = 16406;   // the radio's own line rate

bool testMode(SBEP& engine, std::uint8_t mode, std::span<std::uint8_t> reply);
// No request goes out when the cable already runs at `rate`; that succeeds.
bool lineRate(SBEP& engine, std::uint32_t rate, std::uint8_t flag, std::span<std::uint8_t> reply);
bool protection(SBEP& engine, std::uint16_t value, std::span<std::uint8_t> reply);
bool softport(SBEP& engine, std::uint8_t function, std::uint8_t value,
              std::span<std::uint8_t> reply);
// `result` is the number of reply data bytes (or negative).
bool status(SBEP& engine, std::uint8_t selector, std::span<std::uint8_t> reply, int& result);

// The radio type from a test-mode request with selector 8: only from a
// reply the radio accepted and that carries it. False, with an UPDATE
// message, when it cannot be read or is not 0, 1 or 2.
bool readRadioType(SBEP& engine, std::span<std::uint8_t> reply, std::uint8_t& radioType);

// Protection value that locks the flash again after the work.
std::uint16_t lockValue(std::uint8_t radioType);

// Writes a user-defined voice back into flash: test mode 8, protection
// 0x3400, the work line rate, 4 KB erases, the write, and the line rate back
// to 16406 (also after a failed erase or write). Pushes the UPDATE messages
// of a failed erase or write.
bool writeUserVoice(SBEP& engine, std::span<std::uint8_t> reply, std::uint32_t address,
                    std::span<const std::uint8_t> data, const UnitProgress& progress = {});

}  // namespace requests
}  // namespace vkt
