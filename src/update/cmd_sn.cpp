#include "update/cmd_sn.h"

#include <algorithm>
#include <vector>

#include "link/radio_info.h"
#include "link/sbep.h"
#include "link/sbep_protocol.h"

namespace vkt {
namespace {

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
        const int r = radio->engine().statusRequest(sbep::kStatusFlags, opcode, reply);
        if (r < 2 || (reply[1] & sbep::kFlagSerialLocked) != 0)
            ok = false;
    }
    if (ok) {
        SBEP& engine = radio->engine();
        std::uint8_t opcode = 0;
        const auto accepted = [&](int r) { return r >= 0 && opcode == sbep::kReplyAccepted; };
        ok = accepted(engine.testModeRequest(sbep::kTestModeWrite, 0, 0, opcode, reply)) &&
             accepted(engine.updateSN(newSerialNumber, opcode, reply)) &&
             accepted(engine.factoryBlockBackup(opcode, reply));
        ok = ok && engine.statusRequest(sbep::kStatusFlags, opcode, reply) >= 0;
    }
    postEnd();
    return ok;
}

}  // namespace vkt
