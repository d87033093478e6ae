// The requests the update commands send, judged the one way: a request
// succeeded when its result is not negative and the radio answered with the
// opcode the request expects (the status request has none). The requests
// push their own messages.
#pragma once

#include <cstdint>
#include <span>

#include "update/transfer.h"

namespace vkt {

class SBEP;

namespace requests {

// How the radio answered a request: with the opcode the request expects,
// with another one (the request reached the radio), or not at all.
enum class Answer { Accepted, Unexpected, None };

bool testMode(SBEP& engine, std::uint8_t mode, std::span<std::uint8_t> reply);
Answer testModeAnswer(SBEP& engine, std::uint8_t mode, std::span<std::uint8_t> reply);
// No request goes out when the cable already runs at `rate`; that succeeds.
bool lineRate(SBEP& engine, std::uint32_t rate, std::uint8_t flag, std::span<std::uint8_t> reply);
bool protection(SBEP& engine, std::uint16_t value, std::span<std::uint8_t> reply);
bool softport(SBEP& engine, std::uint8_t function, std::uint8_t value,
              std::span<std::uint8_t> reply);
Answer softportAnswer(SBEP& engine, std::uint8_t function, std::uint8_t value,
                      std::span<std::uint8_t> reply);
// `result` is the number of reply data bytes (or negative).
bool status(SBEP& engine, std::uint8_t selector, std::span<std::uint8_t> reply, int& result);

// The radio type from a test-mode request with selector 8: only from a
// reply the radio accepted and that carries it. False, with an UPDATE
// message, when it cannot be read or is not 0, 1 or 2.
bool readRadioType(SBEP& engine, std::span<std::uint8_t> reply, std::uint8_t& radioType);

// Brings radio and cable back to 16406 bit/s after a switch to 240000 that
// went wrong, when it is not known which side took it: the cable goes to
// 16406 and the radio is asked for its status; when it does not answer
// there, the switch back is sent at 240000. The cable ends at 16406 in every
// case; false when the radio answered at neither rate.
bool returnHome(SBEP& engine, std::span<std::uint8_t> reply);

// Writes a user-defined voice back into flash: test mode 8, protection
// kUserVoiceUnlock, the work line rate, 4 KB erases, the write, and the line rate back
// to 16406 (also after a failed erase or write, and after a switch to the
// work rate that went wrong). Pushes the UPDATE messages of a failed erase
// or write.
bool writeUserVoice(SBEP& engine, std::span<std::uint8_t> reply, std::uint32_t address,
                    std::span<const std::uint8_t> data, const UnitProgress& progress = {});

}  // namespace requests
}  // namespace vkt
