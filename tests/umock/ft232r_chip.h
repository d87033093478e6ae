// An FT232R USB-serial chip as its USB side shows it: descriptors, the
// standard and vendor control requests, bulk OUT to the serial line and
// bulk IN in packets of at most 64 bytes, each led by the two modem-status
// bytes. The serial line goes to a simulated radio (or nowhere). The chip
// keeps what the host did to it (rates, latency timer, line settings,
// purges) for the tests to check.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/radio_line.h"
#include "sim/sim_radio.h"

namespace vkt::umock {

using Clock = std::chrono::steady_clock;

// The rate the chip sends at for the divisor of a SET_BAUDRATE request
// (wValue, wIndex): a 3 MHz base divided by a 14-bit integer plus one of
// eight fractions in 1/8 steps, whose 3-bit code is split between the top
// two bits of wValue and bit 0 of wIndex; divisors 0 and 1 mean 3 and 2
// Mbit/s.
double ft232rRate(std::uint16_t value, std::uint16_t index);

// The 8-byte setup packet of a control transfer.
struct UsbSetup {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
};

struct Ft232rStrings {
    std::string manufacturer = "FTDI";
    std::string product;
    std::string serial;
};

// One SET_BAUDRATE as the chip saw it.
struct RateChange {
    Clock::time_point at;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    double rate = 0;
    // Bytes written before the request were still leaving the transmitter:
    // they go out at the new rate.
    bool transmitterBusy = false;
};

class Ft232rChip {
  public:
    static constexpr std::size_t kPacketSize = 64;
    static constexpr std::uint8_t kInEndpoint = 0x81;
    static constexpr std::uint8_t kOutEndpoint = 0x02;

    // `radio` may be null: a cable with nothing on its serial line.
    Ft232rChip(Ft232rStrings strings, std::shared_ptr<sim::SimRadio> radio);

    const Ft232rStrings& strings() const { return strings_; }
    // Device descriptor then the configuration with its interface and two
    // bulk endpoints, as the kernel shows them in the sysfs "descriptors"
    // attribute.
    std::vector<std::uint8_t> descriptors() const;

    // A control transfer on endpoint 0. `out` is the data stage of a
    // host-to-device request; the data of a device-to-host request goes to
    // `in` (at most setup.length bytes). False: the chip stalls.
    bool control(const UsbSetup& setup, std::span<const std::uint8_t> out,
                 std::vector<std::uint8_t>& in);
    // Bulk OUT: the bytes go onto the serial line at the current rate.
    void bulkOut(std::span<const std::uint8_t> bytes);

    // Bulk IN. The chip fills the oldest waiting IN transfer (`length`
    // bytes of room, so length / 64 packets): a full packet (62 data bytes)
    // as soon as that many have arrived from the line, and a short packet
    // with what has arrived, or only the two status bytes, when its latency
    // timer runs out since the last packet. A short packet or a full
    // transfer completes it. `transfer` names the transfer, so the chip
    // knows when a new one starts. True when it is complete; `data` then
    // holds its packets.
    bool pollIn(std::uint64_t transfer, std::size_t length, Clock::time_point now,
                std::vector<std::uint8_t>& data);
    // The packets gathered so far for a transfer that the host cancels.
    std::vector<std::uint8_t> cancelIn(std::uint64_t transfer);
    // When pollIn may next complete a transfer.
    Clock::time_point nextInEvent() const;

    // What the host did.
    double lineRate() const;
    std::vector<RateChange> rateChanges() const;
    std::uint8_t latencyMs() const;
    std::uint16_t dataCharacteristics() const;  // SET_DATA wValue
    std::uint16_t flowControl() const;          // high byte of SET_FLOW_CTRL wIndex
    // Purge requests in order: 1 (bytes to the line), 2 (bytes to the host).
    std::vector<int> purges() const;

  private:
    std::uint8_t lineStatus(Clock::time_point now) const;
    void appendPacket(std::vector<std::uint8_t>& data, std::size_t count, Clock::time_point now);
    bool vendor(const UsbSetup& setup, std::vector<std::uint8_t>& in);
    bool standard(const UsbSetup& setup, std::vector<std::uint8_t>& in) const;
    std::vector<std::uint8_t> stringDescriptor(std::uint8_t index) const;

    mutable std::mutex mutex_;
    Ft232rStrings strings_;
    std::shared_ptr<sim::SimRadio> radio_;
    std::optional<sim::RadioLine> line_;
    double rate_ = 9600;  // the chip's rate after power-on
    std::uint8_t latency_ = 16;
    std::uint16_t data_ = 8;  // 8 data bits, no parity, one stop bit
    std::uint16_t flow_ = 0;
    std::vector<RateChange> rateChanges_;
    std::vector<int> purges_;
    Clock::time_point lastPacket_;
    // The IN transfer being filled and the packets it holds so far.
    std::uint64_t inTransfer_ = 0;
    std::vector<std::uint8_t> inData_;
};

}  // namespace vkt::umock
