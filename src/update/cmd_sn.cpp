#include "update/cmd_sn.h"

#include <algorithm>
#include <vector>

#include "link/radio_info.h"
#include "link/sbep.h"

namespace vkt {
namespace {

constexpr std::uint8_t kAccepted = 0x8C;
constexpr std::uint8_t kStatusReply = 0x90;
// Bit of the status flags with which the radio refuses a new serial number.
constexpr std::uint8_t kSerialLocked = 0x02;
constexpr std::size_t kReplySize = 100;

}  // namespace

void CmdSN::setSerialNumber(std::string_view serial) {
    newSerialNumber.fill(0);
    std::copy_n(serial.begin(), std::min(serial.size(), newSerialNumber.size()),
                newSerialNumber.begin());
}

bool CmdSN::run() {
    std::vector<std::uint8_t> reply(kReplySize, 0);
    ok = true;
    postBegin();
    if (radio == nullptr || !radio->portOpen())
        ok = false;
    if (radio != nullptr) {
        // The closing request of a closed port fails without reaching the
        // radio. A status reply without its flag byte does not tell whether
        // the radio would take the serial number, so it refuses as well.
        std::uint8_t opcode = 0;
        const int r = radio->engine().statusRequest(0, opcode, reply);
        if (r < 2 || opcode != kStatusReply || (reply[1] & kSerialLocked) != 0)
            ok = false;
    }
    if (ok) {
        SBEP& engine = radio->engine();
        std::uint8_t opcode = 0;
        const auto accepted = [&](int r) { return r >= 0 && opcode == kAccepted; };
        ok = accepted(engine.testModeRequest(1, 0, 0, opcode, reply)) &&
             accepted(engine.updateSN(newSerialNumber, opcode, reply)) &&
             accepted(engine.factoryBlockBackup(opcode, reply));
        if (ok) {
            const int r = engine.statusRequest(0, opcode, reply);
            ok = r >= 0 && opcode == kStatusReply;
        }
    }
    postEnd();
    return ok;
}

}  // namespace vkt
