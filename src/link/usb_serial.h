// USBSerial: the programming cable as the radio link sees it. Finds cables by
// their USB description, opens one by its device index, sets the serial line
// and moves bytes. The bytes go through a CableDriver back-end (tty, ftdi,
// sim), given to the constructor.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "link/cable_driver.h"
#include "link/sbep_protocol.h"

namespace vkt {

// Time-outs of a freshly opened cable.
inline constexpr std::uint32_t kConnectReadTimeoutMs = 250;
inline constexpr std::uint32_t kConnectWriteTimeoutMs = 300;
// The USB description of a programming cable (compared without letter case).
inline constexpr const char* kCableDescription = "QX CPS Cable";
// True when a USB description names a programming cable: the whole text
// equals kCableDescription, ignoring letter case.
bool isProgrammingCable(std::string_view description);

class USBSerial {
  public:
    using SleepFunction = std::function<void(std::chrono::milliseconds)>;

    explicit USBSerial(std::shared_ptr<CableDriver> driver);
    virtual ~USBSerial();
    USBSerial(const USBSerial&) = delete;
    USBSerial& operator=(const USBSerial&) = delete;

    // Opens the cable with the given device index, closing an open one first.
    bool open(int index);
    // False without a message when nothing is open.
    bool close();
    bool setBaudRate(std::uint32_t rate);
    // 8 data bits, 1 stop bit, no parity.
    bool setDataCharacteristics();
    // No flow control.
    bool setFlowControl();
    bool setTimeouts(std::uint32_t readMs, std::uint32_t writeMs);
    // Reads until `count` bytes arrived, a read fails or one read brings
    // nothing (time-out). Returns the number of bytes received. A read of
    // one byte also fetches the bytes that arrived behind it; later reads
    // take those first, and a receive purge drops them with the port's.
    virtual std::size_t read(std::uint8_t* buffer, std::size_t count);
    // Writes until every byte left, a write fails or one write takes
    // nothing. Returns the number of bytes written.
    virtual std::size_t write(const std::uint8_t* buffer, std::size_t count);
    // Purges the cable's queues (kPurgeRx | kPurgeTx; other bits are passed
    // on and ignored by the back-ends). Pushes a PROT error on failure.
    bool purge(std::uint32_t mask);

    // Number of programming cables; the lowest matching index goes to
    // firstIndex (left untouched when there is none). The status of the last
    // query is kept in lastStatus.
    int findCables(int& firstIndex);
    // The same count, leaving lastStatus alone: the cable monitor counts
    // beside the radio thread's exchanges, whose guard reads lastStatus, and
    // the cable this process holds always answers its query with a failure.
    int countCables();
    // Number of devices of any description; clears lastStatus.
    int countDevices();

    bool isOpen() const { return open_.load(); }
    std::uint32_t lastStatus() const { return lastStatus_.load(); }
    void resetLastStatus() { lastStatus_.store(kCableOk); }
    std::uint32_t baudRate() const { return baudRate_.load(); }
    // Bytes written to and read from the cable since it was created (echo
    // included), for the record of how much traffic an operation took.
    std::uint64_t bytesMoved() const { return bytesMoved_.load(); }
    std::uint32_t readTimeoutMs() const { return readTimeoutMs_.load(); }
    std::uint32_t writeTimeoutMs() const { return writeTimeoutMs_.load(); }
    CableDriver& driver() { return *driver_; }

    // How the cable search waits between description retries; tests replace
    // it to count the waits instead of sleeping.
    void setSleepFunction(SleepFunction sleep) { sleep_ = std::move(sleep); }

  private:
    std::uint32_t store(std::uint32_t status) {
        lastStatus_.store(status);
        return status;
    }

    // The cable search; the status of its last driver query goes to status.
    int searchCables(int& firstIndex, std::uint32_t& status);
    // purge() with ioLock_ held.
    bool purgeOpenPort(std::uint32_t mask);
    // Copies up to `count` read-ahead bytes to `buffer`; returns how many.
    std::size_t takeReadAhead(std::uint8_t* buffer, std::size_t count);
    void dropReadAhead() { aheadStart_ = aheadEnd_ = 0; }

    std::shared_ptr<CableDriver> driver_;
    std::unique_ptr<CablePort> port_;
    // Bytes that arrived with a single-byte read and are not consumed yet:
    // ahead_[aheadStart_, aheadEnd_). Room for the largest reply frame.
    std::vector<std::uint8_t> ahead_;
    std::size_t aheadStart_ = 0;
    std::size_t aheadEnd_ = 0;
    std::atomic<bool> open_{false};
    std::atomic<std::uint32_t> lastStatus_{kCableOk};
    std::mutex portLock_;  // open, close and the description scan
    // A call on the open port, and the close that ends it: close waits
    // until a call in progress on another thread has returned.
    std::mutex ioLock_;
    std::mutex listLock_;  // device-count queries
    std::atomic<std::uint32_t> readTimeoutMs_{0};
    std::atomic<std::uint32_t> writeTimeoutMs_{0};
    std::atomic<std::uint32_t> baudRate_{kSlowLineRate};
    std::atomic<std::uint64_t> bytesMoved_{0};
    SleepFunction sleep_;
};

}  // namespace vkt
