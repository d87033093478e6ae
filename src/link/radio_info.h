// The one record of the connected radio and the owner of the radio link: the
// cable transport, the protocol engine, the firmware image holder and the
// address map. It opens the cable with the system's line settings, reads the
// radio's identity items and turns them into display texts.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "link/cable_driver.h"

namespace vkt {

class USBSerial;
class SBEP;
class Flash;
class Cpg;

using VersionTriple = std::array<std::uint8_t, 3>;

class RadioInfo {
public:
    explicit RadioInfo(std::shared_ptr<CableDriver> driver);
    virtual ~RadioInfo();
    RadioInfo(const RadioInfo&) = delete;
    RadioInfo& operator=(const RadioInfo&) = delete;

    // Opens the cable at the driver's device index and sets it up (16406 bit/s,
    // 8N1, no flow, 250/300 ms time-outs), probes the echo and returns portOpen.
    bool openPort(int index);
    // Closes an open cable and resets portOpen, identityValid and portIndex;
    // returns whether the close succeeded (true when nothing was open).
    bool closePort();
    // Reads serial number, model record, firmware and codeplug versions, in
    // that order; returns identityValid.
    bool readIdentity();

    USBSerial& cable() { return *cable_; }
    SBEP& engine() { return *engine_; }
    Cpg& addressMap() { return *addressMap_; }
    Flash& flashFile() { return *flashFile_; }

    bool portOpen() const { return portOpen_.load(); }
    bool identityValid() const { return identityValid_.load(); }
    void setIdentityValid(bool valid) { identityValid_.store(valid); }
    int portIndex() const { return portIndex_.load(); }

    // Identity fields; they keep their values when the cable is closed,
    // identityValid says whether they belong to the connected radio.
    std::uint8_t regionalCode = 0xFF;
    std::array<std::uint8_t, 10> serialNumber{};
    std::array<std::uint8_t, 11> modelRecord{};
    std::array<std::uint8_t, 4> firmwareVersion{};
    std::array<std::uint8_t, 4> codeplugVersion{};

private:
    std::unique_ptr<USBSerial> cable_;
    std::unique_ptr<SBEP> engine_;
    std::unique_ptr<Cpg> addressMap_;
    std::unique_ptr<Flash> flashFile_;
    // Read by the cable monitor's thread without further locking.
    std::atomic<int> portIndex_{-1};
    std::atomic<bool> portOpen_{false};
    std::atomic<bool> identityValid_{false};
};

// Display texts. Each returns false and leaves `text` unchanged when the
// input is too short (or, for the model number, longer than 11 bytes).

// The 10 characters as they are.
bool serialNumberText(std::span<const std::uint8_t> bytes, std::string& text);
// Bytes 0..15 become '0'+byte, letters and digits stay, any other byte ends
// the text; the result always has one character per byte given, the ones from
// the ending byte on being '\0' (so a cut record matches no model name).
bool modelNumberText(std::span<const std::uint8_t> bytes, std::string& text);
// A letter padded to two characters with '0' ("0A"), otherwise the number
// with at least two digits ("05").
bool regionalCodeText(std::uint8_t code, std::string& text);
// `text` up to its first '\0': how a radio text reads as a C string (a
// model record cut short by an ending byte, an unread version of zeros).
std::string cutAtNul(std::string text);
// "%c%02d.%02x.%02x", first character upper-cased (R01.1a.05).
bool firmwareVersionText(std::span<const std::uint8_t> bytes, std::string& text);
// "%c%02d.%02d.%02d", first character upper-cased (R01.26.05).
bool codeplugVersionText(std::span<const std::uint8_t> bytes, std::string& text);

// The dealer-entered serial-number pattern: three digits, a digit or an
// upper-case letter other than 'O', two upper-case letters other than 'I'
// and 'O', two digits or upper-case letters other than 'I' and 'O', two
// digits. Positions past the end of a shorter text count as '\0'.
bool isValidSerialNumber(std::string_view serial);

// One letter, two digits, '.', two digits, '.', then the first two digits
// that follow (other characters between them skipped), and nothing after.
bool parseVersionText(std::string_view text, std::uint8_t& first, std::uint8_t& second,
                      std::uint8_t& third);
bool parseVersionText(std::string_view text, VersionTriple& triple);
// -1, 0 or 1, comparing first, second, third in turn.
int compareVersions(const VersionTriple& a, const VersionTriple& b);

}  // namespace vkt
