// CmdSN: writes a new serial number into the connected radio and has the
// radio copy it into its factory backup. Each request is sent only after
// the previous one succeeded; the requests push their own messages.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "update/command.h"

namespace vkt {

class RadioInfo;

class CmdSN : public Command {
  public:
    RadioInfo* radio = nullptr;  // not owned
    // Ten ASCII characters, no terminator.
    std::array<std::uint8_t, 10> newSerialNumber{};

    // Copies up to ten characters (the rest zero-filled).
    void setSerialNumber(std::string_view serial);

    bool run() override;
};

}  // namespace vkt
