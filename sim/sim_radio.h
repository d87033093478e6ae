// The simulated radio: a protocol peer that answers SBEP requests from its
// own state (identity items, a sparse codeplug memory, a NOR flash), honours
// protection and test mode, switches its line rate when told to, and can
// inject faults and pace its replies at the line rate. Bytes go in through
// receive(); the reply bytes come back with the time each one is due on the
// wire, so a cable (virtual or a pty) can deliver them at that time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/sbep_frame.h"
#include "sim/radio_faults.h"
#include "sim/radio_responder.h"

namespace vkt::sim {

inline constexpr std::size_t kDefaultFlashSize = 4u * 1024u * 1024u;
inline constexpr std::uint32_t kPersonalityStart = 0x820000;  // DYN, CH and FRE windows
inline constexpr std::uint32_t kPersonalitySize = 0x10000;
inline constexpr std::uint32_t kSectorSize = 0x1000;
inline constexpr const char* kDefaultSerial = "158THL0001";

// A byte sent at one line rate and read at another arrives as this byte.
// It is never the acknowledge byte and never a frame header, so a peer left
// at the wrong rate fails visibly instead of decoding stale data.
inline std::uint8_t garbleByte(std::uint8_t b) {
    return static_cast<std::uint8_t>(0x80 | ((b >> 4) ^ (b & 0x0F)));
}

// Whether a byte sent at one rate is read correctly at the other. A UART
// samples each bit in its middle and resynchronises on every start bit, so
// the two ends may differ by a few percent over the ten bits of a byte; 3 %
// is the limit USB-serial chip makers give for their divisors.
inline bool ratesMatch(std::uint32_t a, std::uint32_t b) {
    const std::uint64_t hi = a > b ? a : b;
    const std::uint64_t lo = a > b ? b : a;
    return (hi - lo) * 100 <= hi * 3;
}

// Seconds one byte (start, 8 data, stop bit) occupies the line at `rate`.
inline double byteSeconds(std::uint32_t rate) {
    return rate ? 10.0 / rate : 0.0;
}

// Radio-side operation times (before division by the pace factor).
struct Timing {
    double paceFactor = 0.0;  // 0 = no pacing at all: everything is instant
    std::chrono::microseconds erase64k{500000};
    std::chrono::microseconds erase4k{45000};
    std::chrono::microseconds programPerByte{6};
    std::chrono::microseconds turnaround{1000};
};

// A reply byte (or any byte travelling on the line) and when it arrives.
struct WireByte {
    std::uint8_t value = 0;
    std::uint32_t rate = 0;  // rate it was sent at; 0 once the receiver has settled it
    Clock::time_point due;
};

// Line time of one byte at `rate` divided by `paceFactor`; zero when not pacing.
std::chrono::nanoseconds pacedByteTime(std::uint32_t rate, double paceFactor);
// The cable's echo: each byte comes back as it leaves the host, never garbled.
void appendEcho(std::span<const std::uint8_t> bytes, std::chrono::nanoseconds perByte,
                Clock::time_point start, std::vector<WireByte>& out);
// Inserts `bytes` into `queue`, which stays ordered by due time.
void mergeByDue(std::deque<WireByte>& queue, const std::vector<WireByte>& bytes);

// Data the radio acknowledges but keeps wrongly, as a worn flash cell or a
// bad memory cell would.
struct StorageFaults {
    // A flash byte programmed at this address reads back with the bits of
    // `flashBitMask` flipped.
    std::optional<std::uint32_t> flashBit;
    std::uint8_t flashBitMask = 0x01;
    // A memory write that covers this address stores that byte inverted.
    std::optional<std::uint32_t> memoryByte;
};

struct RadioConfig {
    int radioType = 0;  // 0, 1 or 2
    std::string serialNumber = "158THL0001";
    std::vector<std::uint8_t> modelRecord;  // 11 bytes; default "QX7500A" + four 0x00
    std::vector<std::uint8_t> firmwareVersion{'R', 1, 0x02, 0x03};
    std::vector<std::uint8_t> codeplugVersion{'R', 1, 2, 3};
    std::uint16_t statusWord = 0;
    std::uint8_t statusFlags = 0;  // 0x02: serial-number update refused
    bool echo = true;              // cable in its ANALOG mode echoes what the host sends
    std::size_t flashSize = kDefaultFlashSize;
    // Flash starts with what an earlier update left: a firmware, codeplug
    // blocks, voice prompts and dynamic data that no update package carries
    // (see oldFlashContent). Off: flash starts erased (0xFF).
    bool oldContent = true;
    Timing timing;
    FaultPlan faults;  // handed to the radio's fault injector
    StorageFaults storage;
};

// Parses "R01.02.03": a letter and three numbers. With `hexTail` (firmware
// versions, shown as %02x) the last two numbers are read as hexadecimal.
bool parseVersionText(const std::string& text, bool hexTail, std::vector<std::uint8_t>& out);
std::string versionText(std::span<const std::uint8_t> version, bool hexTail);
// Model record from text (at most 11 characters, rest 0x00).
bool modelRecordFromText(const std::string& text, std::vector<std::uint8_t>& out);

// Flash address of the DYN and DEF blocks per radio type (0 for another type).
std::uint32_t dynFlashAddress(int radioType);
std::uint32_t defFlashAddress(int radioType);

// What a radio's flash holds before the tool ever touched it: an earlier
// firmware in the firmware area (0x09AA marker, then `firmwareVersion`),
// earlier codeplug blocks (the default block starting with
// `codeplugVersion`), earlier voice prompts and dynamic data, everywhere
// else erased. The bytes are a fixed pseudo-random fill, so a step that
// programs flash without erasing it first leaves bytes that differ from
// what it wrote (programming can only clear bits).
std::vector<std::uint8_t> oldFlashContent(int radioType, std::size_t flashSize,
                                          std::span<const std::uint8_t> firmwareVersion,
                                          std::span<const std::uint8_t> codeplugVersion);

// The radio answers requests through its fault injector, which passes them
// on to the radio's own protocol (the RadioResponder it implements) unless
// a fault says otherwise; the wire side (receive, the replies' pacing and
// the counts) talks only to the injector.
class SimRadio : private RadioResponder {
  public:
    explicit SimRadio(RadioConfig config = {});
    ~SimRadio();
    SimRadio(const SimRadio&) = delete;
    SimRadio& operator=(const SimRadio&) = delete;

    // Host bytes reach the radio. The first byte starts at `start` (or when
    // the previous host byte has left, whichever is later) at `senderRate`.
    // Complete frames are answered; reply bytes (ack + frame) are appended
    // to `out` with their due times. A sender rate that differs from the
    // radio's garbles the bytes the radio sees.
    void receive(std::span<const std::uint8_t> bytes, std::uint32_t senderRate,
                 Clock::time_point start, std::vector<WireByte>& out);

    // Configuration and state; every call takes the one lock.
    void setRadioType(int type);
    int radioType() const;
    void setSerialNumber(const std::string& serial);
    std::string serialNumber() const;
    void setModelRecord(std::vector<std::uint8_t> record);
    std::vector<std::uint8_t> modelRecord() const;
    void setFirmwareVersion(std::vector<std::uint8_t> v);
    void setCodeplugVersion(std::vector<std::uint8_t> v);
    // From text like "R01.02.03" (firmware: last two groups hexadecimal).
    bool setFirmwareVersionText(const std::string& text);
    bool setCodeplugVersionText(const std::string& text);
    std::vector<std::uint8_t> firmwareVersion() const;
    std::vector<std::uint8_t> codeplugVersion() const;
    void setStatusWord(std::uint16_t word);
    void setStatusFlags(std::uint8_t flags);
    void setEcho(bool on);
    bool echo() const;
    void setTiming(const Timing& timing);
    Timing timing() const;
    void setFaults(FaultPlan plan);
    void setStorageFaults(const StorageFaults& faults);

    std::uint32_t lineRate() const;
    std::optional<std::uint16_t> protection() const;  // last value set, none at power-on
    bool flashUnlocked() const;
    int testMode() const;                     // -1 before any test-mode request
    std::string factorySerialNumber() const;  // empty until a factory block backup
    std::vector<std::uint8_t> factoryModelRecord() const;
    std::uint64_t bytesIn() const;
    std::uint64_t bytesOut() const;
    // What the traffic so far costs at pace 1: every counted byte at the line
    // rate it crossed the wire at, and the radio's own work (turnarounds,
    // erases, programming). Their sum is the shortest time a host could have
    // taken for the same requests.
    double wireSeconds() const;
    double radioSeconds() const;
    // Writes wireStatsJson() to `path` when the radio is destroyed (empty: never).
    void setStatsFile(std::string path);

    // Memory (sparse 24-bit space, 0x00 where never written).
    void loadMemory(std::uint32_t address, std::span<const std::uint8_t> bytes);
    std::vector<std::uint8_t> memory(std::uint32_t address, std::size_t length) const;
    // Flash (0xFF where erased).
    void loadFlash(std::uint32_t address, std::span<const std::uint8_t> bytes);
    std::vector<std::uint8_t> flash(std::uint32_t address, std::size_t length) const;
    std::size_t flashSize() const;

    // The radio's lasting state (identity, status, protection, test mode,
    // factory backup, flash, memory) as a versioned, checksummed byte string,
    // and back. The line rate is not kept: a loaded radio is at rest at
    // 16406 bit/s. Timing and faults stay as configured. loadState leaves the
    // radio unchanged and returns false with a message when the bytes are
    // not a valid state.
    std::vector<std::uint8_t> saveState() const;
    bool loadState(std::span<const std::uint8_t> bytes, std::string& error);

    std::vector<RequestLogEntry> requestLog() const;
    // Entries from position `first` on (for writing a log as it grows).
    std::vector<RequestLogEntry> requestLogSince(std::size_t first) const;
    void clearRequestLog();

    // The radio is switched off and on: flash, memory, identity (with the
    // versions it adopted from what was written and committed), status and
    // the factory backup stay; the line rate goes back to 16406, protection
    // and test mode are forgotten, a half-received frame is dropped. The
    // cable is not touched (replug() is separate).
    void powerCycle();

    // Cable pull: set by a PullCable fault or pullCable(); cleared by replug().
    // The generation counts pulls so an open port can tell it went stale.
    void pullCable();
    void replug();
    bool cablePulled() const;
    std::uint64_t pullGeneration() const;

  private:
    using Data = std::vector<std::uint8_t>;
    static constexpr std::uint32_t kPageSize = 0x1000;
    static constexpr std::uint32_t kAddressLimit = 0x1000000;  // 24-bit memory space

    std::chrono::nanoseconds paced(std::chrono::nanoseconds t) const;
    std::chrono::nanoseconds byteTime(std::uint32_t rate) const;
    // Counts one byte onto the wire and lets the faults judge it; a pull
    // takes the cable with it.
    ByteFate crossWire(bool fromRadio, std::uint8_t& value);
    void handleFrame(const sbep::FrameDecoder& frame, Clock::time_point arrival,
                     std::vector<WireByte>& out);

    // The protocol (radio_dispatch.cpp): a table from opcode to handler.
    Reply answer(const sbep::FrameDecoder& frame, RequestLogEntry& log) override;
    WireReply encode(const Reply& reply, std::uint64_t firstWireByte,
                     RequestLogEntry& log) override;
    ByteFate wireByte(std::uint64_t number, bool fromRadio, std::uint8_t& value) override;
    Reply status(const Data& data, RequestLogEntry& log);
    Reply memoryRead(const Data& data, RequestLogEntry& log);
    Reply memoryWrite(const Data& data, RequestLogEntry& log);
    Reply updateSerial(const Data& data, RequestLogEntry& log);
    Reply enterTestMode(const Data& data, RequestLogEntry& log);
    Reply radioInfo(const Data& data, RequestLogEntry& log);
    Reply softport(const Data& data, RequestLogEntry& log);
    Reply flashRequest(const Data& data, RequestLogEntry& log);
    void eraseSectors(std::uint32_t firstSector, std::uint32_t count);
    void markDefTouched(std::uint32_t address, std::size_t length);
    // Takes the 4 flash bytes at flashAddress as `version` when they start
    // with an ASCII letter.
    void adoptVersion(std::uint32_t flashAddress, std::vector<std::uint8_t>& version);
    std::uint8_t memByte(std::uint32_t address) const;
    void setMemByte(std::uint32_t address, std::uint8_t value);
    bool unlockValue(std::uint16_t value) const;

    mutable std::mutex mutex_;
    RadioConfig config_;
    std::uint32_t rate_ = kSlowLineRate;
    std::optional<std::uint16_t> protection_;
    int testMode_ = -1;
    bool defTouched_ = false;
    std::string factorySerial_;
    std::vector<std::uint8_t> factoryModel_;
    std::vector<std::uint8_t> flash_;
    std::map<std::uint32_t, std::vector<std::uint8_t>> memoryPages_;  // 4 KB pages
    sbep::FrameDecoder decoder_;
    std::uint64_t requests_ = 0;
    std::uint64_t wireBytes_ = 0;
    std::uint64_t bytesIn_ = 0;
    std::uint64_t bytesOut_ = 0;
    double wireSeconds_ = 0;
    double radioSeconds_ = 0;
    std::string statsFile_;
    Clock::time_point inputFree_{};
    Clock::time_point outputFree_{};
    bool pulled_ = false;
    std::uint64_t pullGeneration_ = 0;
    std::vector<RequestLogEntry> log_;
    FaultInjector faults_{*this};
};

}  // namespace vkt::sim
