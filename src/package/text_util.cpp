#include "package/text_util.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include <fmt/printf.h>

namespace vkt {

std::string latin1ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        auto b = static_cast<unsigned char>(ch);
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
        } else {
            out.push_back(static_cast<char>(0xC0 | (b >> 6)));
            out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return out;
}

std::optional<std::string> utf8ToLatin1(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
        } else if ((b == 0xC2 || b == 0xC3) && i + 1 < text.size() &&
                   (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
            auto c = static_cast<unsigned char>(text[i + 1]);
            out.push_back(static_cast<char>(((b & 0x03) << 6) | (c & 0x3F)));
            ++i;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = 0;
        std::uint32_t cp = 0;
        std::uint32_t least = 0;
        if ((b >> 5) == 0x6) {
            len = 2, cp = b & 0x1F, least = 0x80;
        } else if ((b >> 4) == 0xE) {
            len = 3, cp = b & 0x0F, least = 0x800;
        } else if ((b >> 3) == 0x1E) {
            len = 4, cp = b & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (i + len > text.size())
            return false;
        for (std::size_t k = 1; k < len; ++k) {
            auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

std::size_t utf8Length(std::string_view text) {
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        auto b = static_cast<unsigned char>(text[i]);
        std::size_t len = b < 0x80           ? 1
                          : (b >> 5) == 0x6  ? 2
                          : (b >> 4) == 0xE  ? 3
                          : (b >> 3) == 0x1E ? 4
                                             : 1;
        std::size_t n = 1;
        while (n < len && i + n < text.size() &&
               (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) {
            ++n;
        }
        i += n == len ? len : 1;
        ++count;
    }
    return count;
}

int hexDigit(char ch) {
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

namespace {

std::size_t skipSpaceAndSign(std::string_view text, bool& negative) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    return i;
}

}  // namespace

HexNumber scanHexNumber(std::string_view text) {
    HexNumber number;
    std::size_t i = skipSpaceAndSign(text, number.negative);
    if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        hexDigit(text[i + 2]) >= 0) {
        i += 2;
    }
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 32;
    for (; i < text.size() && hexDigit(text[i]) >= 0; ++i, ++number.digits) {
        number.magnitude = std::min<std::uint64_t>(
            number.magnitude * 16 + static_cast<std::uint64_t>(hexDigit(text[i])), kLimit);
    }
    return number;
}

std::int32_t parseHexClamped(std::string_view text) {
    const HexNumber number = scanHexNumber(text);
    auto value = static_cast<std::int64_t>(number.magnitude);
    if (number.negative)
        value = -value;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

std::uint8_t parseDecimalLow8(std::string_view text) {
    bool negative = false;
    std::size_t i = skipSpaceAndSign(text, negative);
    std::uint32_t value = 0;  // wraps; only the low 8 bits are kept
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
    }
    if (negative)
        value = 0u - value;
    return static_cast<std::uint8_t>(value & 0xFFu);
}

StrictInt parseStrictInt(std::string_view text) {
    StrictInt result;
    bool negative = false;
    std::size_t i = skipSpaceAndSign(text, negative);
    std::size_t digits = 0;
    std::int64_t value = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        if (!overflow)
            value = value * 10 + (text[i] - '0');
        if (value > (std::int64_t{1} << 32))
            overflow = true;
    }
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (digits == 0 || i != text.size())
        return result;
    result.isNumber = true;
    if (negative)
        value = -value;
    if (!overflow && value >= std::numeric_limits<std::int32_t>::min() &&
        value <= std::numeric_limits<std::int32_t>::max()) {
        result.value = static_cast<std::int32_t>(value);
    }
    return result;
}

}  // namespace vkt
