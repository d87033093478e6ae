#include "update/cmd_verify.h"

#include "core/error_stack.h"
#include "link/radio_info.h"
#include "link/sbep.h"
#include "link/sbep_frame.h"
#include "package/cpg.h"
#include "update/package_images.h"
#include "update/radio_requests.h"
#include "update/radio_traits.h"

namespace vkt {

bool CmdVerify::run() {
    ok = true;
    radioType_ = 0;
    report_ = {};
    postBegin();
    std::vector<std::uint8_t> reply(sbep::kReceiveBufferSize, 0);
    std::vector<FlashArea> areas;
    Cpg addressMap;
    const auto fail = [this] { ok = false; };

    if (radio == nullptr || !radio->portOpen()) {
        raiseErrorText(ErrorCategory::Prot, "Error:no port is connected.");
        fail();
    }
    // The package is read before the radio is asked anything but its type:
    // a package that cannot be read leaves the line rate alone.
    if (ok && !requests::readRadioType(radio->engine(), reply, radioType_))
        fail();
    if (ok && !loadAddressMapFile(addressFile, addressMap))
        fail();
    if (ok && !expectedFlashAreas(files, addressMap, radioType_, areas))
        fail();
    if (ok && radioTraits(radioType_).keepsUserVoice && userVoice && userVoice->length > 0) {
        for (FlashArea& area : areas)
            area.radioOwned.push_back(*userVoice);
    }
    if (ok && areas.empty()) {
        raiseErrorText(ErrorCategory::Update,
                       "Error:the update package names no flash area to verify.");
        fail();
    }
    if (ok && !requests::lineRate(radio->engine(), kFastLineRate, 0, reply))
        fail();
    if (ok) {
        const auto span = static_cast<std::uint32_t>(progress.total - progress.base);
        const UnitProgress units = [this, span](std::uint32_t k, std::uint32_t n) {
            reportUnit(k, n, span);
        };
        if (!verifyFlashAreas(radio->engine(), reply, areas, report_, units))
            fail();
    }
    // Radio and cable go back to the radio's own rate whatever happened; no
    // request goes out when they never left it.
    if (radio != nullptr && radio->portOpen() &&
        !requests::lineRate(radio->engine(), kSlowLineRate, 1, reply))
        fail();
    sendProgress(0);
    postEnd();
    return ok;
}

}  // namespace vkt
