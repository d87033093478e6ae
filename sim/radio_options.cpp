#include "sim/radio_options.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "core/file_io.h"
#include "sim/state_dump.h"

namespace vkt::sim {

namespace {

// The name of each fault kind in a fault's text, in FaultKind order.
constexpr std::string_view kFaultNames[] = {"drop",  "corrupt", "checksum", "delay",
                                            "noack", "opcode",  "pull",     "refuse"};
static_assert(std::size(kFaultNames) == static_cast<std::size_t>(FaultKind::Refuse) + 1);

bool parseNumber(const std::string& text, std::uint64_t& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    value = std::strtoull(text.c_str(), &end, 0);
    return end && *end == '\0';
}

// "FILE@ADDR" (ADDR in C notation, default `defaultAddress`).
bool preload(const std::string& source, std::uint32_t defaultAddress, bool needAddress,
             std::vector<std::uint8_t>& bytes, std::uint32_t& address) {
    std::string path = source;
    address = defaultAddress;
    const auto at = source.rfind('@');
    if (at != std::string::npos) {
        path = source.substr(0, at);
        char* end = nullptr;
        const std::string number = source.substr(at + 1);
        const unsigned long v = std::strtoul(number.c_str(), &end, 0);
        if (number.empty() || *end || v > 0xFFFFFF)
            return false;
        address = static_cast<std::uint32_t>(v);
    } else if (needAddress) {
        return false;
    }
    return readFile(path, bytes);
}

Timing timingFrom(const RadioOptions& o, Timing t) {
    using us = std::chrono::microseconds;
    t.paceFactor = o.pace;
    if (o.erase64kUs >= 0)
        t.erase64k = us(o.erase64kUs);
    if (o.erase4kUs >= 0)
        t.erase4k = us(o.erase4kUs);
    if (o.programUs >= 0)
        t.programPerByte = us(o.programUs);
    if (o.turnaroundUs >= 0)
        t.turnaround = us(o.turnaroundUs);
    return t;
}

bool faultsFrom(const RadioOptions& o, FaultPlan& plan, std::string& error) {
    for (const auto& text : o.faults) {
        Fault f;
        if (!parseFault(text, f, error))
            return false;
        plan.push_back(f);
    }
    return true;
}

// "ADDR[:MASK]" in C notation; the mask defaults to 0x01 and must not be 0.
bool storageFrom(const RadioOptions& o, StorageFaults& storage, std::string& error) {
    storage = {};
    auto number = [](const std::string& text, unsigned long limit, unsigned long& v) {
        char* end = nullptr;
        v = std::strtoul(text.c_str(), &end, 0);
        return !text.empty() && *end == '\0' && v <= limit;
    };
    unsigned long v = 0;
    if (!o.flipFlashBit.empty()) {
        const auto colon = o.flipFlashBit.find(':');
        if (!number(o.flipFlashBit.substr(0, colon), 0xFFFFFF, v)) {
            error = "--flip-flash-bit takes ADDR[:MASK]";
            return false;
        }
        storage.flashBit = static_cast<std::uint32_t>(v);
        if (colon != std::string::npos) {
            if (!number(o.flipFlashBit.substr(colon + 1), 0xFF, v) || v == 0) {
                error = "--flip-flash-bit takes a mask of 1 to 0xFF";
                return false;
            }
            storage.flashBitMask = static_cast<std::uint8_t>(v);
        }
    }
    if (!o.corruptMemory.empty()) {
        if (!number(o.corruptMemory, 0xFFFFFF, v)) {
            error = "--corrupt-memory takes an address";
            return false;
        }
        storage.memoryByte = static_cast<std::uint32_t>(v);
    }
    return true;
}

}  // namespace

bool parseVersionText(const std::string& text, bool hexTail, std::vector<std::uint8_t>& out) {
    // Letter, then three dot-separated numbers.
    if (text.size() < 2 || !std::isalpha(static_cast<unsigned char>(text[0])))
        return false;
    std::vector<std::uint8_t> v{static_cast<std::uint8_t>(text[0])};
    std::size_t pos = 1;
    for (int group = 0; group < 3; ++group) {
        if (group > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
        }
        const std::size_t start = pos;
        while (pos < text.size() && std::isxdigit(static_cast<unsigned char>(text[pos])))
            ++pos;
        const std::string digits = text.substr(start, pos - start);
        if (digits.empty() || digits.size() > 3)
            return false;
        const int base = (hexTail && group > 0) ? 16 : 10;
        char* end = nullptr;
        const unsigned long n = std::strtoul(digits.c_str(), &end, base);
        if (*end != '\0' || n > 255)
            return false;
        v.push_back(static_cast<std::uint8_t>(n));
    }
    if (pos != text.size())
        return false;
    out = std::move(v);
    return true;
}

std::string versionText(std::span<const std::uint8_t> v, bool hexTail) {
    if (v.size() < 4)
        return {};
    return hexTail ? fmt::format("{:c}{:02d}.{:02x}.{:02x}", char(v[0]), v[1], v[2], v[3])
                   : fmt::format("{:c}{:02d}.{:02d}.{:02d}", char(v[0]), v[1], v[2], v[3]);
}

bool modelRecordFromText(const std::string& text, std::vector<std::uint8_t>& out) {
    if (text.empty() || text.size() > 11)
        return false;
    out.assign(11, 0);
    std::copy(text.begin(), text.end(), out.begin());
    return true;
}

bool parseFault(const std::string& text, Fault& fault, std::string& error) {
    const auto at = text.find('@');
    if (at == std::string::npos) {
        error = "fault '" + text + "' has no @";
        return false;
    }
    const std::string kind = text.substr(0, at);
    Fault f;
    const auto* name = std::find(std::begin(kFaultNames), std::end(kFaultNames), kind);
    if (name == std::end(kFaultNames)) {
        error = "unknown fault kind '" + kind + "'";
        return false;
    }
    f.kind = static_cast<FaultKind>(name - std::begin(kFaultNames));
    std::string rest = text.substr(at + 1);
    if (rest.empty() || (rest[0] != 'r' && rest[0] != 'b')) {
        error = "fault '" + text + "': expected r<request> or b<byte> after @";
        return false;
    }
    f.trigger = rest[0] == 'r' ? FaultTrigger::Request : FaultTrigger::WireByte;
    rest.erase(0, 1);
    // Split off the optional parts, last first.
    auto takeSuffix = [&rest](char mark, std::string& part) {
        // 'x' may occur in a 0x prefix: only a trailing xDIGITS counts as a count.
        const auto p = rest.rfind(mark);
        if (p == std::string::npos)
            return;
        if (mark == 'x' && (p == 0 || rest[p - 1] == '0'))
            return;
        part = rest.substr(p + 1);
        rest.erase(p);
    };
    std::string countText, offsetText, valueText;
    takeSuffix('x', countText);
    takeSuffix('+', offsetText);
    takeSuffix(':', valueText);
    std::uint64_t n = 0;
    if (!parseNumber(rest, n) || n == 0) {
        error = "fault '" + text + "': the request or byte number must be 1 or more";
        return false;
    }
    f.at = n;
    if (!valueText.empty()) {
        if (!parseNumber(valueText, n) || n > 0xFFFFFFFF) {
            error = "fault '" + text + "': bad value";
            return false;
        }
        f.value = static_cast<std::uint32_t>(n);
    }
    if (!offsetText.empty()) {
        if (!parseNumber(offsetText, n) || n > 0xFFFF) {
            error = "fault '" + text + "': bad offset";
            return false;
        }
        f.offset = static_cast<std::uint32_t>(n);
    }
    if (!countText.empty()) {
        if (!parseNumber(countText, n) || n == 0 || n > 0xFFFF) {
            error = "fault '" + text + "': bad count";
            return false;
        }
        f.count = static_cast<std::uint32_t>(n);
    }
    fault = f;
    return true;
}

std::string describeFault(const Fault& f) {
    return fmt::format("{}@{}{}:{}+{}x{}", kFaultNames[static_cast<std::size_t>(f.kind)],
                       f.trigger == FaultTrigger::Request ? 'r' : 'b', f.at, f.value, f.offset,
                       f.count);
}

void addRadioOptions(CLI::App& app, RadioOptions& o) {
    app.add_option("--type", o.radioType, "Radio type 0, 1 or 2 (default 0)")
        ->check(CLI::Range(0, 2));
    app.add_option("--serial", o.serial, "Serial number, 10 characters (default 158THL0001)");
    app.add_option("--model", o.model, "Model record text, up to 11 characters (default QX7500A)");
    app.add_option("--firmware", o.firmware, "Firmware version like R01.02.03 (last two hex)");
    app.add_option("--codeplug", o.codeplug, "Codeplug version like R01.02.03");
    app.add_option("--status", o.statusWord, "Status word for status selector 1 (default 0)")
        ->check(CLI::Range(0, 0xFFFF));
    app.add_flag("--refuse-sn", o.refuseSerial, "Refuse serial-number updates (status flag 0x02)");
    app.add_flag("--no-echo", o.noEcho, "Do not echo host bytes (a cable in digital mode)");
    app.add_option("--pace", o.pace,
                   "Pace factor: 1 = real line and radio timing, 10 = ten times faster, "
                   "0 = instant (default)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--erase64k-us", o.erase64kUs, "Time of a 64 KB erase in microseconds (500000)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--erase4k-us", o.erase4kUs, "Time of a 4 KB erase in microseconds (45000)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--program-us", o.programUs, "Flash programming time per byte in us (6)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--turnaround-us", o.turnaroundUs, "Turnaround per request in us (1000)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--flash-size", o.flashSize, "Flash size in bytes (default 4 MiB)")
        ->check(CLI::Range(std::size_t{0x10000}, std::size_t{0x1000000}));
    app.add_option("--fault", o.faults,
                   "Fault KIND@rN or KIND@bN[:VALUE][+OFFSET][xCOUNT]; kinds drop, corrupt, "
                   "checksum, delay, noack, opcode, pull, refuse (repeatable)");
    app.add_option("--flip-flash-bit", o.flipFlashBit,
                   "A flash byte programmed at ADDR reads back with the bits of MASK flipped "
                   "(ADDR[:MASK], mask 0x01 by default)");
    app.add_option("--corrupt-memory", o.corruptMemory,
                   "A memory write that covers ADDR stores that byte inverted");
    app.add_option("--load-flash", o.loadFlash, "Preload flash: FILE[@ADDR] (repeatable)");
    app.add_option("--load-memory", o.loadMemory, "Preload radio memory: FILE@ADDR (repeatable)");
    app.add_option("--stats", o.statsFile,
                   "Write the wire counts (bytes, wire and radio seconds) as JSON to FILE when "
                   "the radio goes away");
}

bool buildRadioConfig(const RadioOptions& o, RadioConfig& config, std::string& error) {
    config.radioType = o.radioType;
    if (o.serial.size() != 10) {
        error = "the serial number must have 10 characters";
        return false;
    }
    config.serialNumber = o.serial;
    if (!modelRecordFromText(o.model, config.modelRecord)) {
        error = "the model must have 1 to 11 characters";
        return false;
    }
    if (!parseVersionText(o.firmware, true, config.firmwareVersion) ||
        !parseVersionText(o.codeplug, false, config.codeplugVersion)) {
        error = "versions are written like R01.02.03";
        return false;
    }
    config.statusWord = static_cast<std::uint16_t>(o.statusWord);
    config.statusFlags = o.refuseSerial ? sbep::kFlagSerialLocked : 0x00;
    config.echo = !o.noEcho;
    config.flashSize = o.flashSize;
    config.timing = timingFrom(o, config.timing);
    return storageFrom(o, config.storage, error) && faultsFrom(o, config.faults, error);
}

bool preloadRadio(const RadioOptions& o, SimRadio& radio, std::string& error) {
    for (const auto& source : o.loadFlash) {
        std::vector<std::uint8_t> bytes;
        std::uint32_t address = 0;
        if (!preload(source, 0, false, bytes, address)) {
            error = "cannot load flash from " + source;
            return false;
        }
        radio.loadFlash(address, bytes);
    }
    for (const auto& source : o.loadMemory) {
        std::vector<std::uint8_t> bytes;
        std::uint32_t address = 0;
        if (!preload(source, 0, true, bytes, address)) {
            error = "cannot load memory from " + source + " (FILE@ADDR)";
            return false;
        }
        radio.loadMemory(address, bytes);
    }
    return true;
}

bool applyRadioOptionText(const std::string& text, SimRadio& radio, std::string& error) {
    RadioOptions o;
    CLI::App app{"simulated radio options"};
    app.set_help_flag();
    addRadioOptions(app, o);
    try {
        app.parse(text, false);
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return false;
    }
    const auto given = [&app](const char* name) { return app.count(name) > 0; };
    if (given("--flash-size")) {
        error = "--flash-size cannot change an existing radio";
        return false;
    }
    // Check every given value before the radio changes.
    RadioConfig checked;
    RadioOptions probe = o;
    if (!given("--serial"))
        probe.serial = kDefaultSerial;
    if (!buildRadioConfig(probe, checked, error))
        return false;
    if (given("--type"))
        radio.setRadioType(o.radioType);
    if (given("--serial"))
        radio.setSerialNumber(o.serial);
    if (given("--model"))
        radio.setModelRecord(checked.modelRecord);
    if (given("--firmware"))
        radio.setFirmwareVersion(checked.firmwareVersion);
    if (given("--codeplug"))
        radio.setCodeplugVersion(checked.codeplugVersion);
    if (given("--status"))
        radio.setStatusWord(checked.statusWord);
    if (given("--refuse-sn"))
        radio.setStatusFlags(checked.statusFlags);
    if (given("--no-echo"))
        radio.setEcho(false);
    if (given("--pace") || given("--erase64k-us") || given("--erase4k-us") ||
        given("--program-us") || given("--turnaround-us")) {
        Timing t = timingFrom(o, radio.timing());
        if (!given("--pace"))
            t.paceFactor = radio.timing().paceFactor;
        radio.setTiming(t);
    }
    if (given("--fault"))
        radio.setFaults(checked.faults);
    if (given("--flip-flash-bit") || given("--corrupt-memory"))
        radio.setStorageFaults(checked.storage);
    if (given("--stats"))
        radio.setStatsFile(o.statsFile);
    return preloadRadio(o, radio, error);
}

}  // namespace vkt::sim
