// CmdVerify: reads back the flash areas an update package writes on the
// connected radio (the firmware area for the image's length, the DEF and the
// VOI windows) and compares them with the package. It changes nothing on
// the radio: it asks for test mode 8 (which gives the radio type), reads at
// 240000 bit/s and sets the line rate back to 16406, also after a failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "update/command.h"
#include "update/flash_verify.h"

namespace vkt {

class RadioInfo;

class CmdVerify : public Command {
  public:
    RadioInfo* radio = nullptr;  // not owned
    std::string addressFile;     // FTF with the address-map text
    PackageAreaFiles files;      // the areas to check; an empty path skips one
    // Where a radio of type 2 keeps its user-defined voice (inside the VOI
    // area): its bytes are the radio's own and are not compared.
    std::optional<FlashRange> userVoice;

    // Fails when a file cannot be loaded, a request fails, or an area
    // differs from the package or cannot be read (FLASH messages).
    bool run() override;

    std::uint8_t radioType() const { return radioType_; }
    const VerifyReport& report() const { return report_; }

  private:
    std::uint8_t radioType_ = 0;
    VerifyReport report_;
};

}  // namespace vkt
