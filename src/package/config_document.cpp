#include "package/config_document.h"

#include <expat.h>

#include <cstdio>
#include <filesystem>
#include <limits>
#include <new>

#include "core/error_stack.h"
#include "core/file_io.h"
#include "package/text_util.h"

namespace vkt {
namespace fs = std::filesystem;

namespace {

// Parse options: keep the declaration, the DOCTYPE, processing instructions,
// comments and the white space between elements. A DOCTYPE is kept as text,
// never processed: no entity is defined by it and nothing external is
// fetched.
constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_declaration |
                                   pugi::parse_doctype | pugi::parse_pi | pugi::parse_comments |
                                   pugi::parse_ws_pcdata;

// Calls visit(element) for every element below `parent`, in document order,
// until it returns false. The tree is walked without
// recursion, so deep nesting costs no stack.
template <typename Visit>
void forEachElement(pugi::xml_node parent, Visit visit) {
    pugi::xml_node node = parent.first_child();
    while (node) {
        if (node.type() == pugi::node_element && !visit(node))
            return;
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node && node != parent && !node.next_sibling())
            node = node.parent();
        if (!node || node == parent)
            return;
        node = node.next_sibling();
    }
}

template <typename Visit>
void forEachDescendant(pugi::xml_node parent, std::string_view tag, Visit visit) {
    forEachElement(parent,
                   [&](pugi::xml_node element) { return tag != element.name() || visit(element); });
}

// The well-formedness check: a conforming XML parser reads the whole text.
// The tree itself is built by pugixml, which is lenient (a bare '&', an
// unknown entity, '<' in an attribute value or text outside the root element
// pass it) and never applies a DTD. So the check also refuses what the DTD
// would change if it were applied: entity declarations, references to
// entities that are not declared, and attribute defaults. Nothing external
// is ever loaded: no handler for external entities is installed and
// parameter entities are not parsed.
class WellFormednessCheck {
  public:
    WellFormednessCheck() : parser_(XML_ParserCreate("UTF-8")) {
        if (parser_ == nullptr)
            return;
        XML_SetUserData(parser_, this);
        XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
        XML_SetEntityDeclHandler(parser_, &WellFormednessCheck::onEntityDecl);
        XML_SetAttlistDeclHandler(parser_, &WellFormednessCheck::onAttlistDecl);
        XML_SetSkippedEntityHandler(parser_, &WellFormednessCheck::onSkippedEntity);
        XML_SetStartElementHandler(parser_, &WellFormednessCheck::onStartElement);
    }
    ~WellFormednessCheck() {
        if (parser_ != nullptr)
            XML_ParserFree(parser_);
    }
    WellFormednessCheck(const WellFormednessCheck&) = delete;
    WellFormednessCheck& operator=(const WellFormednessCheck&) = delete;

    bool run(std::string_view text, std::string& description) {
        if (parser_ == nullptr) {
            description = "out of memory";
            return false;
        }
        if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
            description = "too large";
            return false;
        }
        text_ = text;
        if (XML_Parse(parser_, text.data(), static_cast<int>(text.size()), XML_TRUE) ==
            XML_STATUS_OK)
            return true;
        const XML_Error code = XML_GetErrorCode(parser_);
        const std::string what = code == XML_ERROR_ABORTED && !problem_.empty()
                                     ? problem_
                                     : std::string(XML_ErrorString(code));
        description = fmt::sprintf("%s at line %d, column %d", what,
                                   static_cast<long long>(XML_GetCurrentLineNumber(parser_)),
                                   static_cast<long long>(XML_GetCurrentColumnNumber(parser_)) + 1);
        return false;
    }

  private:
    void stop(std::string problem) {
        if (problem_.empty())
            problem_ = std::move(problem);
        XML_StopParser(parser_, XML_FALSE);
    }

    static void onEntityDecl(void* self, const XML_Char* name, int isParameterEntity,
                             const XML_Char*, int, const XML_Char*, const XML_Char*,
                             const XML_Char*, const XML_Char*) {
        if (isParameterEntity == 0)
            static_cast<WellFormednessCheck*>(self)->stop(
                fmt::sprintf("the DTD declares the entity '%s'", name));
    }
    static void onAttlistDecl(void* self, const XML_Char* element, const XML_Char* attribute,
                              const XML_Char*, const XML_Char* defaultValue, int) {
        if (defaultValue != nullptr)
            static_cast<WellFormednessCheck*>(self)->stop(fmt::sprintf(
                "the DTD gives the attribute '%s' of '%s' a default", attribute, element));
    }
    static void onSkippedEntity(void* self, const XML_Char* name, int) {
        static_cast<WellFormednessCheck*>(self)->stop(
            fmt::sprintf("reference to the undeclared entity '%s'", name));
    }
    // Inside a start tag a '&' can only begin a reference in an attribute
    // value. The parser drops a reference to an undeclared entity there
    // silently when the document names an external DTD subset, so look at
    // the tag's own bytes.
    static void onStartElement(void* self, const XML_Char*, const XML_Char**) {
        auto* check = static_cast<WellFormednessCheck*>(self);
        const XML_Index at = XML_GetCurrentByteIndex(check->parser_);
        const int count = XML_GetCurrentByteCount(check->parser_);
        if (at < 0 || count <= 0 || static_cast<std::size_t>(at) >= check->text_.size())
            return;
        const std::string_view tag =
            check->text_.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(count));
        for (std::size_t amp = tag.find('&'); amp != std::string_view::npos;
             amp = tag.find('&', amp + 1)) {
            const std::size_t end = tag.find(';', amp);
            const std::string_view name = tag.substr(amp + 1, end - amp - 1);
            if (end == std::string_view::npos || name.empty() || name[0] == '#')
                continue;
            if (name != "lt" && name != "gt" && name != "amp" && name != "apos" && name != "quot") {
                check->stop(fmt::sprintf("reference to the undeclared entity '%s'", name));
                return;
            }
        }
    }

    XML_Parser parser_;
    std::string_view text_;
    std::string problem_;
};

bool checkWellFormed(std::string_view text, std::string& description) {
    WellFormednessCheck check;
    return check.run(text, description);
}

// The files are 8-bit text. Most are ASCII or UTF-8; one written in a
// single-byte code page (an accented model alias, say) is not valid UTF-8 and
// is read as Latin-1, each byte one character, instead of being refused.
std::string asUtf8(std::string_view text, bool& eightBit) {
    eightBit = !isValidUtf8(text);
    return eightBit ? latin1ToUtf8(text) : std::string(text);
}

// Parses `text` into `document` when it is well-formed XML.
bool parseText(std::string_view text, pugi::xml_document& document, std::string& description) {
    if (!checkWellFormed(text, description))
        return false;
    pugi::xml_parse_result result =
        document.load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_utf8);
    if (!result) {
        description = fmt::sprintf("%s at byte %d", result.description(),
                                   static_cast<long long>(result.offset));
        return false;
    }
    return true;
}

bool isXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// An attribute value as it is written between `quote` characters. Tab and
// line ends are written as references: the parser would read them as spaces.
std::string escapeAttribute(std::string_view value, char quote) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                if (c == quote)
                    out += quote == '"' ? "&quot;" : "&apos;";
                else
                    out += c;
        }
    }
    return out;
}

// Where the value of `attribute` lies in the start tag whose name begins at
// `nameAt` of the well-formed `text`: [begin, end) between its quotes, or,
// when the tag has no such attribute, begin == end at the place where one
// is added (after the last attribute). nullopt when the text there is not
// a start tag.
struct ValueSpan {
    std::size_t begin = 0;
    std::size_t end = 0;
    char quote = '"';
    bool present = false;
};
std::optional<ValueSpan> findAttributeValue(std::string_view text, std::size_t nameAt,
                                            std::string_view tagName, std::string_view attribute) {
    if (nameAt == 0 || nameAt > text.size() || text[nameAt - 1] != '<' ||
        text.substr(nameAt, tagName.size()) != tagName)
        return std::nullopt;
    std::size_t pos = nameAt + tagName.size();
    std::size_t lastEnd = pos;
    for (;;) {
        while (pos < text.size() && isXmlSpace(text[pos]))
            ++pos;
        if (pos >= text.size())
            return std::nullopt;
        if (text[pos] == '>' || text[pos] == '/')
            return ValueSpan{lastEnd, lastEnd, '"', false};
        const std::size_t nameBegin = pos;
        while (pos < text.size() && text[pos] != '=' && !isXmlSpace(text[pos]))
            ++pos;
        const std::string_view name = text.substr(nameBegin, pos - nameBegin);
        while (pos < text.size() && isXmlSpace(text[pos]))
            ++pos;
        if (pos >= text.size() || text[pos] != '=')
            return std::nullopt;
        ++pos;
        while (pos < text.size() && isXmlSpace(text[pos]))
            ++pos;
        if (pos >= text.size() || (text[pos] != '"' && text[pos] != '\''))
            return std::nullopt;
        const char quote = text[pos];
        const std::size_t valueBegin = pos + 1;
        const std::size_t valueEnd = text.find(quote, valueBegin);
        if (valueEnd == std::string_view::npos)
            return std::nullopt;
        if (name == attribute)
            return ValueSpan{valueBegin, valueEnd, quote, true};
        pos = lastEnd = valueEnd + 1;
    }
}

}  // namespace

std::size_t scrambleBytes(const std::uint8_t* source, std::uint8_t* destination, std::size_t count,
                          const std::uint8_t* key, std::size_t keyLength) {
    if (source == nullptr || destination == nullptr || key == nullptr || keyLength == 0)
        return 0;
    for (std::size_t i = 0; i < count; ++i)
        destination[i] = key[i % keyLength] ^ source[i];
    return count;
}

std::vector<std::uint8_t> scrambleConfigBytes(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> out(bytes.size());
    scrambleBytes(bytes.data(), out.data(), bytes.size(),
                  reinterpret_cast<const std::uint8_t*>(kConfigScrambleKey.data()),
                  kConfigScrambleKey.size());
    return out;
}

ConfigDocument::ConfigDocument() = default;

ConfigDocument& ConfigDocument::instance() {
    static ConfigDocument store;
    return store;
}

bool ConfigDocument::createConfigDocument() {
    try {
        document_ = std::make_unique<pugi::xml_document>();
    } catch (const std::bad_alloc&) {
        raiseError(ErrorCategory::Resource, "Error:failed to create com instance.");
        return false;
    }
    return true;
}

void ConfigDocument::releaseConfigDocument() {
    document_.reset();
}

bool ConfigDocument::readScrambledFile(const std::string& path) {
    if (path.empty() || utf8Length(path) >= kMaxConfigPathChars)
        return false;
    documentPath_ = path;
    std::error_code ec;
    std::FILE* f =
        fs::is_regular_file(fs::path(path), ec) ? std::fopen(path.c_str(), "rb") : nullptr;
    if (f == nullptr) {
        raiseError(ErrorCategory::File, "Error:failed to open the specified file [%s].", path);
        return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(f, &std::fclose);
    const std::uint64_t size = fs::file_size(fs::path(path), ec);
    if (!ec && size == 0)
        return false;
    if (ec || size > kMaxConfigFileSize) {
        raiseError(ErrorCategory::File, "Error:invalid config file.");
        return false;
    }
    text_.assign(static_cast<std::size_t>(size) + 1, 0);
    textLength_ = static_cast<std::uint32_t>(size);
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(size));
    if (std::fread(raw.data(), 1, raw.size(), f) != raw.size()) {
        raiseError(ErrorCategory::File, "Error:invalid config file.");
        return false;
    }
    scrambleBytes(raw.data(), text_.data(), raw.size(),
                  reinterpret_cast<const std::uint8_t*>(kConfigScrambleKey.data()),
                  kConfigScrambleKey.size());
    text_[raw.size()] = 0;
    return true;
}

bool ConfigDocument::parseDocument() {
    if (!document_)
        return false;
    std::size_t length = 0;
    while (length < textLength_ && length < text_.size() && text_[length] != 0)
        ++length;
    bool eightBit = false;
    std::string source =
        asUtf8(std::string_view(reinterpret_cast<const char*>(text_.data()), length), eightBit);
    std::string description;
    if (!parseText(source, *document_, description)) {
        document_->reset();
        source_.clear();
        return false;
    }
    source_ = std::move(source);
    eightBit_ = eightBit;
    return true;
}

bool ConfigDocument::isWellFormed(std::string_view text, std::string& description) {
    pugi::xml_document document;
    bool eightBit = false;
    return parseText(asUtf8(text, eightBit), document, description);
}

bool ConfigDocument::saveDocument() {
    if (documentPath_.empty() || !document_ || source_.empty())
        return false;
    // A file that was read as single-byte text is written back the same way;
    // a value outside that character set cannot be stored in it.
    std::optional<std::string> eightBitText;
    if (eightBit_) {
        eightBitText = utf8ToLatin1(source_);
        if (!eightBitText)
            return false;
    }
    const std::string& bytes = eightBitText ? *eightBitText : source_;
    std::vector<std::uint8_t> scrambled = scrambleConfigBytes(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    return writeFileAtomically(documentPath_, scrambled);
}

bool ConfigDocument::setDocumentAttribute(const std::string& tagName,
                                          const std::string& attributeName,
                                          const std::string& value) {
    if (value.empty() || !document_ || source_.empty())
        return false;
    pugi::xml_node element;
    forEachDescendant(*document_, tagName, [&](pugi::xml_node found) {
        element = found;
        return false;
    });
    if (!element)
        return false;
    // The change is made in the text the document was read from, so the
    // rest of the file (declaration, DOCTYPE, comments, processing
    // instructions, references, white space) stays byte for byte.
    const std::ptrdiff_t nameAt = element.offset_debug();
    if (nameAt <= 0)
        return false;
    const auto span =
        findAttributeValue(source_, static_cast<std::size_t>(nameAt), tagName, attributeName);
    if (!span)
        return false;
    std::string changed = source_;
    if (span->present) {
        changed.replace(span->begin, span->end - span->begin, escapeAttribute(value, span->quote));
    } else {
        changed.insert(span->begin,
                       " " + attributeName + "=\"" + escapeAttribute(value, '"') + "\"");
    }
    // A value that XML cannot carry (a control character, say) leaves the
    // document as it was.
    auto document = std::make_unique<pugi::xml_document>();
    std::string description;
    if (!parseText(changed, *document, description))
        return false;
    document_ = std::move(document);
    source_ = std::move(changed);
    return saveDocument();
}

pugi::xml_node ConfigDocument::root() const {
    return document_ ? document_->document_element() : pugi::xml_node();
}

std::vector<pugi::xml_node> ConfigDocument::descendants(pugi::xml_node parent,
                                                        std::string_view tag) {
    std::vector<pugi::xml_node> found;
    forEachDescendant(parent, tag, [&](pugi::xml_node element) {
        found.push_back(element);
        return true;
    });
    return found;
}

std::optional<std::string> ConfigDocument::attribute(pugi::xml_node element,
                                                     std::string_view name) {
    for (pugi::xml_attribute attr : element.attributes()) {
        if (name == attr.name())
            return std::string(attr.value());
    }
    return std::nullopt;
}

}  // namespace vkt
