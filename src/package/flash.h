// The firmware image check and the copy of the firmware that is sent to the
// radio.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vkt {

// Firmware images are at most this long.
inline constexpr std::size_t kMaxFirmwareLength = 2 * 1024 * 1024;
// At most this many non-empty sections are walked.
inline constexpr int kMaxFirmwareSections = 60;
inline constexpr std::uint16_t kFirmwareMarker = 0x09AA;

class Flash {
  public:
    Flash() = default;
    virtual ~Flash() = default;
    Flash(const Flash&) = delete;
    Flash& operator=(const Flash&) = delete;

    // Checks a firmware image (marker 0x09AA, a 32-bit value, a table of
    // 32-bit entries, then length-prefixed sections) and keeps the part the
    // section walk covers. False (the previous image kept) when the image is
    // refused; "Error:bad flash." (FLASH) when it is longer than 2 MiB.
    bool setImage(const std::uint8_t* bytes, std::size_t length);
    bool setImage(std::span<const std::uint8_t> bytes) {
        return setImage(bytes.data(), bytes.size());
    }

    const std::vector<std::uint8_t>& data() const { return data_; }
    std::int32_t length() const { return static_cast<std::int32_t>(data_.size()); }

  private:
    std::vector<std::uint8_t> data_;
};

}  // namespace vkt
