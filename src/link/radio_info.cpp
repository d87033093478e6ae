#include "link/radio_info.h"

#include <cctype>

#include <fmt/printf.h>

#include "link/sbep.h"
#include "link/sbep_frame.h"
#include "link/usb_serial.h"
#include "package/cpg.h"
#include "package/flash.h"

namespace vkt {
namespace {

// Byte offset of an identity item inside its reply: two leading bytes come
// before the item itself.
constexpr std::size_t kItemOffset = 2;

bool isAsciiLetter(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isUpper(char c) {
    return c >= 'A' && c <= 'Z';
}

std::string upperFirst(std::string text) {
    if (!text.empty()) {
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    }
    return text;
}

}  // namespace

RadioInfo::RadioInfo(std::shared_ptr<CableDriver> driver)
    : cable_(std::make_unique<USBSerial>(std::move(driver))),
      engine_(std::make_unique<SBEP>(*cable_)),
      addressMap_(std::make_unique<Cpg>()),
      flashFile_(std::make_unique<Flash>()) {}

RadioInfo::~RadioInfo() {
    if (portOpen_)
        closePort();
}

bool RadioInfo::closePort() {
    bool closed = true;
    if (portOpen_)
        closed = cable_->close();
    portOpen_ = false;
    identityValid_ = false;
    portIndex_ = -1;
    return closed;
}

bool RadioInfo::openPort(int index) {
    if (portOpen_)
        closePort();
    if (!cable_->open(index))
        return false;
    // The cable pushes the line-rate message itself.
    if (!cable_->setBaudRate(kSlowLineRate))
        return false;
    if (!cable_->setDataCharacteristics())
        return false;
    if (!cable_->setFlowControl())
        return false;
    if (!cable_->setTimeouts(kConnectReadTimeoutMs, kConnectWriteTimeoutMs))
        return false;
    engine_->detectEcho();
    cable_->setBaudRate(kSlowLineRate);
    portIndex_ = index;
    portOpen_ = true;
    return true;
}

bool RadioInfo::readIdentity() {
    identityValid_ = portOpen_.load();
    if (!identityValid_)
        return false;

    struct Item {
        std::uint8_t selector;
        std::span<std::uint8_t> target;
    };
    const Item items[] = {
        {sbep::kItemSerial, serialNumber},
        {sbep::kItemModel, modelRecord},
        {sbep::kItemFirmware, firmwareVersion},
        {sbep::kItemCodeplug, codeplugVersion},
    };
    std::vector<std::uint8_t> reply(sbep::kMaxFlashChunk);
    for (const Item& item : items) {
        if (!identityValid_)
            break;
        std::fill(reply.begin(), reply.end(), 0);
        std::uint8_t opcode = 0;
        const int result = engine_->readRadioInfo(item.selector, opcode, reply);
        // A reply too short to hold the item is not taken as the radio's
        // identity: its bytes would be undefined.
        if (result < 0 || static_cast<std::size_t>(result) < kItemOffset + item.target.size()) {
            identityValid_ = false;
            break;
        }
        std::copy_n(reply.begin() + kItemOffset, item.target.size(), item.target.begin());
        if (item.selector == sbep::kItemModel)
            regionalCode = modelRecord[6];
    }
    return identityValid_;
}

bool serialNumberText(std::span<const std::uint8_t> bytes, std::string& text) {
    if (bytes.size() < 10)
        return false;
    text.assign(bytes.begin(), bytes.begin() + 10);
    return true;
}

std::string cutAtNul(std::string text) {
    if (const auto end = text.find('\0'); end != std::string::npos)
        text.resize(end);
    return text;
}

bool modelNumberText(std::span<const std::uint8_t> bytes, std::string& text) {
    if (bytes.empty() || bytes.size() > 11)
        return false;
    std::string out(bytes.size(), '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t b = bytes[i];
        if (b <= 15) {
            out[i] = static_cast<char>('0' + b);
        } else if (isAsciiLetter(b) || (b >= '0' && b <= '9')) {
            out[i] = static_cast<char>(b);
        } else {
            break;  // the rest stays '\0'
        }
    }
    text = std::move(out);
    return true;
}

bool regionalCodeText(std::uint8_t code, std::string& text) {
    if (isAsciiLetter(code)) {
        text = std::string("0") + static_cast<char>(code);
    } else {
        text = fmt::sprintf("%02d", static_cast<int>(code));
    }
    return true;
}

bool firmwareVersionText(std::span<const std::uint8_t> bytes, std::string& text) {
    if (bytes.size() < 4)
        return false;
    text = upperFirst(cutAtNul(
        fmt::sprintf("%c%02d.%02x.%02x", static_cast<char>(bytes[0]), static_cast<int>(bytes[1]),
                     static_cast<unsigned>(bytes[2]), static_cast<unsigned>(bytes[3]))));
    return true;
}

bool codeplugVersionText(std::span<const std::uint8_t> bytes, std::string& text) {
    if (bytes.size() < 4)
        return false;
    text = upperFirst(cutAtNul(fmt::sprintf("%c%02d.%02d.%02d", static_cast<char>(bytes[0]),
                                            static_cast<int>(bytes[1]), static_cast<int>(bytes[2]),
                                            static_cast<int>(bytes[3]))));
    return true;
}

bool isValidSerialNumber(std::string_view serial) {
    auto at = [&serial](std::size_t i) { return i < serial.size() ? serial[i] : '\0'; };
    auto upperNot = [](char c, std::string_view excluded) {
        return isUpper(c) && excluded.find(c) == std::string_view::npos;
    };
    for (std::size_t i = 0; i < 3; ++i) {
        if (!isAsciiDigit(at(i)))
            return false;
    }
    if (!(isAsciiDigit(at(3)) || upperNot(at(3), "O")))
        return false;
    if (!upperNot(at(4), "IO") || !upperNot(at(5), "IO"))
        return false;
    for (std::size_t i = 6; i < 8; ++i) {
        if (!(isAsciiDigit(at(i)) || upperNot(at(i), "IO")))
            return false;
    }
    return isAsciiDigit(at(8)) && isAsciiDigit(at(9));
}

bool parseVersionText(std::string_view text, std::uint8_t& first, std::uint8_t& second,
                      std::uint8_t& third) {
    std::size_t pos = 0;
    if (text.empty() || !isAsciiLetter(static_cast<std::uint8_t>(text[0])))
        return false;
    pos = 1;
    // Two groups of exactly two digits, each followed by '.'.
    auto group = [&](std::uint8_t& out) {
        if (pos + 3 > text.size())
            return false;
        if (!isAsciiDigit(text[pos]) || !isAsciiDigit(text[pos + 1]) || text[pos + 2] != '.') {
            return false;
        }
        out = static_cast<std::uint8_t>((text[pos] - '0') * 10 + (text[pos + 1] - '0'));
        pos += 3;
        return true;
    };
    if (!group(first) || !group(second))
        return false;
    // The third group: the first two digits that follow, anything else between
    // them skipped; the text must end right after the second one.
    int digits = 0;
    int value = 0;
    while (pos < text.size() && digits < 2) {
        if (isAsciiDigit(text[pos])) {
            value = value * 10 + (text[pos] - '0');
            ++digits;
        }
        ++pos;
    }
    if (digits < 2 || pos != text.size())
        return false;
    third = static_cast<std::uint8_t>(value);
    return true;
}

bool parseVersionText(std::string_view text, VersionTriple& triple) {
    return parseVersionText(text, triple[0], triple[1], triple[2]);
}

int compareVersions(const VersionTriple& a, const VersionTriple& b) {
    for (std::size_t i = 0; i < 3; ++i) {
        if (a[i] > b[i])
            return 1;
        if (a[i] < b[i])
            return -1;
    }
    return 0;
}

}  // namespace vkt
