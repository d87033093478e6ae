// The store for the two scrambled XML files of the tool (the package's
// config.xml and the installation's setup.dat): reads a file, unscrambles and
// parses it, keeps one current document, changes one attribute and writes the
// document back, scrambled, to the file it came from.
//
// Files are UTF-8 XML and must be well-formed. A DTD is kept but never
// applied: a document whose DTD declares entities or attribute defaults is
// refused, and nothing external is ever fetched.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

namespace vkt {

// The 4-byte key both files are scrambled with.
inline constexpr std::string_view kConfigScrambleKey = "KZRW";
// Paths of this many Unicode characters or more are refused.
inline constexpr std::size_t kMaxConfigPathChars = 512;
// Largest file read into memory; configuration files are a few KiB.
inline constexpr std::uint64_t kMaxConfigFileSize = 64ull * 1024 * 1024;

// destination[i] = key[i % keyLength] ^ source[i]. Returns 0 and writes
// nothing when source, destination or the key is missing; otherwise count.
std::size_t scrambleBytes(const std::uint8_t* source, std::uint8_t* destination, std::size_t count,
                          const std::uint8_t* key, std::size_t keyLength);
// Scrambles (or unscrambles) a whole buffer with kConfigScrambleKey.
std::vector<std::uint8_t> scrambleConfigBytes(std::span<const std::uint8_t> bytes);

class ConfigDocument {
  public:
    ConfigDocument();

    // The process-wide store.
    static ConfigDocument& instance();

    // Creates the XML document object; "Error:failed to create com
    // instance." (RESOURCE) when that fails.
    bool createConfigDocument();
    // Drops the document object (shutdown).
    void releaseConfigDocument();

    // Reads a whole file into the text buffer, unscrambled. Remembers the path
    // as documentPath (also when the read then fails).
    bool readScrambledFile(const std::string& path);
    // Parses the text buffer (up to its first 0 byte) into the current
    // document. False (nothing pushed, and no current document) when it is
    // not well-formed XML.
    bool parseDocument();
    // Writes the current document's text, scrambled, over documentPath.
    bool saveDocument();
    // Sets an attribute on the first element named tagName and saves. Only
    // the attribute's value changes in the text (a new attribute is added at
    // the end of the start tag); everything else stays byte for byte. False,
    // and nothing changed or written, for an empty value, a value XML cannot
    // carry, or when the document has no such element.
    bool setDocumentAttribute(const std::string& tagName, const std::string& attributeName,
                              const std::string& value);

    // Read access for the loaders.
    pugi::xml_node root() const;
    // Every element named `tag` below `parent` at any depth, in document order.
    static std::vector<pugi::xml_node> descendants(pugi::xml_node parent, std::string_view tag);
    // An attribute's text; nullopt when the attribute is absent.
    static std::optional<std::string> attribute(pugi::xml_node element, std::string_view name);
    // Whether a text parses as this store parses its files; `description`
    // tells what is wrong (and at which byte) when it does not.
    static bool isWellFormed(std::string_view text, std::string& description);
    // The current document as UTF-8 text: the text it was parsed from with
    // the changes setDocumentAttribute made. saveDocument scrambles these
    // bytes, or their single-byte form when the file was read as such.
    const std::string& documentText() const { return source_; }

    const std::string& documentPath() const { return documentPath_; }
    const std::vector<std::uint8_t>& text() const { return text_; }  // plus a 0 byte
    std::uint32_t textLength() const { return textLength_; }
    bool hasDocument() const { return document_ != nullptr; }

  private:
    std::unique_ptr<pugi::xml_document> document_;
    std::vector<std::uint8_t> text_;
    std::uint32_t textLength_ = 0;
    std::string documentPath_;
    std::string source_;     // the text of the current document, as UTF-8
    bool eightBit_ = false;  // the file was single-byte text, not UTF-8
};

}  // namespace vkt
