#include "package/cpg.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "core/error_stack.h"
#include "package/text_util.h"

namespace vkt {
namespace {

struct KindDefaults {
    const char* name;
    std::uint32_t address;
    std::uint32_t size;
};

constexpr std::array<KindDefaults, kBlockKindCount> kDefaults = {{
    {"DYN", 0x820000, 0x1000},
    {"STA", 0x823000, 0x1000},
    {"ERG", 0x824000, 0x1000},
    {"FAC", 0x825000, 0x1000},
    {"DEF", 0x826000, 0x1000},
    {"BAK", 0x827000, 0x1000},
    {"CH", 0x821000, 0x1000},
    {"FRE", 0x822000, 0x1000},
    {"VOI", 0x830000, 0xBD000},
    {"USERVOI", 0, 0x1000},  // no window: no keyword moves it, no record reaches it
}};

// Section keywords in the order they are tested; the first one found inside
// a token selects its kind.
struct Keyword {
    const char* text;
    BlockKind kind;
};
constexpr std::array<Keyword, 9> kKeywords = {{
    {"DYN_START", BlockKind::DYN},
    {"CH_INFO_START", BlockKind::CH},
    {"FREQ_START", BlockKind::FRE},
    {"STATIC_START", BlockKind::STA},
    {"ERGO_START", BlockKind::ERG},
    {"FACT_START", BlockKind::FAC},
    {"DEF_FREQ", BlockKind::DEF},
    {"BACKUP_FACT", BlockKind::BAK},
    {"VOICE", BlockKind::VOI},
}};

constexpr std::size_t kMaxTokenChars = 49;

bool isSpace(char ch) {
    return std::isspace(static_cast<unsigned char>(ch)) != 0;
}

// Splits the address-map text into upper-case tokens of at most 49 characters.
class TokenReader {
  public:
    TokenReader(const char* text, std::size_t length) : text_(text), length_(length) {}

    // nullopt when no character is left; an empty token when only white
    // space was left.
    std::optional<std::string> next() {
        if (pos_ >= length_)
            return std::nullopt;
        while (pos_ < length_ && isSpace(text_[pos_]))
            ++pos_;
        std::string token;
        while (pos_ < length_ && !isSpace(text_[pos_]) && token.size() < kMaxTokenChars) {
            token.push_back(
                static_cast<char>(std::toupper(static_cast<unsigned char>(text_[pos_]))));
            ++pos_;
        }
        return token;
    }

  private:
    const char* text_;
    std::size_t length_;
    std::size_t pos_ = 0;
};

// A hexadecimal value the way "%x" reads it: an optional sign and 0x prefix,
// then digits up to the first other character. Values beyond 32 bits are
// clamped. nullopt when no digit converts.
std::optional<std::uint32_t> readHexValue(const std::string& token) {
    const HexNumber number = scanHexNumber(token);
    if (number.digits == 0)
        return std::nullopt;
    auto v = static_cast<std::uint32_t>(std::min<std::uint64_t>(number.magnitude, 0xFFFFFFFFull));
    return number.negative ? 0u - v : v;
}

}  // namespace

const char* blockKindName(std::int32_t kind) {
    if (kind < 0 || kind >= kBlockKindCount)
        return "";
    return kDefaults[static_cast<std::size_t>(kind)].name;
}

Cpg::Cpg() {
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        blocks_[i].kind = static_cast<std::int32_t>(i);
        blocks_[i].address = kDefaults[i].address;
        blocks_[i].size = kDefaults[i].size;
    }
}

bool Cpg::parseAddressMap(const char* text, std::size_t length) {
    if (text == nullptr || length == 0)
        return false;
    TokenReader reader(text, length);
    enum class Expect { Nothing, Address, Size };
    // A value that comes before any section keyword has no block to apply
    // to: it is read (and must still be a hex number) but changes nothing.
    std::optional<BlockKind> current;
    Expect expect = Expect::Nothing;
    while (auto token = reader.next()) {
        if (expect == Expect::Nothing) {
            auto keyword = std::find_if(kKeywords.begin(), kKeywords.end(), [&](const Keyword& k) {
                return token->find(k.text) != std::string::npos;
            });
            if (keyword != kKeywords.end()) {
                current = keyword->kind;
            } else if (*token == "ADDRESS") {
                expect = Expect::Address;
            } else if (*token == "BSIZE") {
                expect = Expect::Size;
            }
            continue;
        }
        if (*token == "=") {
            token = reader.next();
            if (!token)
                break;
        }
        auto value = readHexValue(*token);
        if (!value)
            return false;
        if (current) {
            CpgBlock& entry = blocks_[static_cast<std::size_t>(*current)];
            if (expect == Expect::Address) {
                entry.address = *value;
            } else {
                entry.size = std::min(entry.size, *value);
            }
        }
        expect = Expect::Nothing;
    }
    return true;
}

namespace {

// Character source for the S-record reader: white space is skipped
// everywhere, and the input's last character is never part of a record (a
// stream must end with at least one character after its last record).
class StreamReader {
  public:
    StreamReader(const std::uint8_t* bytes, std::size_t length) : bytes_(bytes), length_(length) {}

    // True when nothing but white space, or a single character, is left.
    bool atEnd() {
        skipSpace();
        return pos_ + 1 >= length_;
    }

    std::optional<char> nextChar() {
        skipSpace();
        if (pos_ + 1 >= length_)
            return std::nullopt;
        return static_cast<char>(bytes_[pos_++]);
    }

    std::optional<std::uint8_t> nextByte() {
        auto hi = nextChar();
        if (!hi || hexDigit(*hi) < 0)
            return std::nullopt;
        auto lo = nextChar();
        if (!lo || hexDigit(*lo) < 0)
            return std::nullopt;
        return static_cast<std::uint8_t>(hexDigit(*hi) * 16 + hexDigit(*lo));
    }

  private:
    void skipSpace() {
        while (pos_ < length_ && isSpace(static_cast<char>(bytes_[pos_])))
            ++pos_;
    }

    const std::uint8_t* bytes_;
    std::size_t length_;
    std::size_t pos_ = 0;
};

std::size_t addressBytesOf(char type) {
    switch (type) {
        case '0':
        case '1':
        case '9':
            return 2;
        case '2':
            return 3;
        case '3':
            return 4;
        default:
            return 0;  // 4..8: the whole body is data at address 0
    }
}

}  // namespace

bool Cpg::parseStream(const std::uint8_t* bytes, std::size_t length) {
    if (bytes == nullptr)
        return false;
    for (CpgBlock& entry : blocks_)
        entry.data.assign(entry.size, 0x00);
    StreamReader reader(bytes, length);
    std::vector<std::uint8_t> record;
    auto malformed = [] {
        raiseError(ErrorCategory::Cpg, "Error:failed to parse CPG stream.");
        return false;
    };
    while (!reader.atEnd()) {
        auto start = reader.nextChar();
        if (!start || (*start != 'S' && *start != 's'))
            return malformed();
        auto type = reader.nextChar();
        if (!type || *type < '0' || *type > '9')
            return malformed();
        const std::size_t addressBytes = addressBytesOf(*type);
        auto count = reader.nextByte();
        // A record must hold its address and checksum; a shorter count is
        // malformed, so no byte outside the record is ever taken as data.
        if (!count || *count < addressBytes + 1)
            return malformed();
        record.clear();
        std::uint8_t sum = *count;
        for (std::size_t i = 0; i < *count; ++i) {
            auto b = reader.nextByte();
            if (!b)
                return malformed();
            record.push_back(*b);
            if (i + 1 < *count)
                sum = static_cast<std::uint8_t>(sum + *b);
        }
        if (static_cast<std::uint8_t>(~sum) != record.back())
            return malformed();
        std::uint32_t address = 0;
        for (std::size_t i = 0; i < addressBytes; ++i)
            address = (address << 8) | record[i];
        route(address, record.data() + addressBytes, record.size() - addressBytes - 1);
    }
    return true;
}

void Cpg::route(std::uint32_t address, const std::uint8_t* data, std::size_t length) {
    for (int kind = 0; kind <= static_cast<int>(BlockKind::VOI); ++kind) {
        CpgBlock& entry = blocks_[static_cast<std::size_t>(kind)];
        if (address < entry.address ||
            std::uint64_t{address} >= std::uint64_t{entry.address} + entry.size) {
            continue;
        }
        const std::size_t offset = address - entry.address;
        const std::size_t n = std::min<std::size_t>(length, entry.size - offset);
        std::copy_n(data, n, entry.data.begin() + static_cast<std::ptrdiff_t>(offset));
        return;
    }
}

}  // namespace vkt
