#include "package/config_document.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>

#include "core/error_stack.h"
#include "package/text_util.h"

namespace vkt {
namespace fs = std::filesystem;

namespace {

// Parse options: keep the declaration, comments and the white space between
// elements, so that a document written back differs from the file it came
// from only where an attribute was changed. A DOCTYPE is skipped, never
// processed: no entity is defined by it and nothing external is fetched.
constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_declaration | pugi::parse_comments | pugi::parse_ws_pcdata;
// Written as it was parsed: no indentation added and no declaration invented.
constexpr unsigned kFormatOptions = pugi::format_raw | pugi::format_no_declaration;

class StringWriter : public pugi::xml_writer {
  public:
    explicit StringWriter(std::string& out) : out_(out) {}
    void write(const void* data, std::size_t size) override {
        out_.append(static_cast<const char*>(data), size);
    }

  private:
    std::string& out_;
};

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

// The parser is lenient where XML is strict: a well-formed document has
// exactly one root element and no attribute twice on an element.
bool isSingleRooted(const pugi::xml_document& document) {
    int roots = 0;
    for (pugi::xml_node node : document.children()) {
        if (node.type() == pugi::node_element)
            ++roots;
        if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata)
            return false;
    }
    if (roots != 1)
        return false;
    bool unique = true;
    forEachElement(document, [&](pugi::xml_node element) {
        for (pugi::xml_attribute a = element.first_attribute(); a && unique;
             a = a.next_attribute()) {
            for (pugi::xml_attribute b = a.next_attribute(); b; b = b.next_attribute()) {
                if (std::strcmp(a.name(), b.name()) == 0) {
                    unique = false;
                    break;
                }
            }
        }
        return unique;
    });
    return unique;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
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

bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::error_code ec;
    fs::path target(path);
    // Replace the file a link points to, not the link itself.
    if (fs::is_symlink(target, ec)) {
        target = fs::weakly_canonical(target, ec);
        if (ec)
            return false;
    }
    fs::path folder = target.parent_path();
    if (folder.empty())
        folder = ".";
    std::string temp = (folder / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
    int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return false;
    struct stat st {};
    const mode_t mode = ::stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    bool ok =
        ::fchmod(fd, mode) == 0 && writeAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok)
        ok = ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
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
    pugi::xml_parse_result result =
        document_->load_buffer(text_.data(), length, kParseOptions, pugi::encoding_utf8);
    return result && isSingleRooted(*document_);
}

bool ConfigDocument::isWellFormed(std::string_view text, std::string& description) {
    pugi::xml_document document;
    pugi::xml_parse_result result =
        document.load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_utf8);
    if (!result) {
        description = fmt::sprintf("%s at byte %d", result.description(),
                                   static_cast<long long>(result.offset));
        return false;
    }
    if (!isSingleRooted(document)) {
        description = "not exactly one root element, or an attribute given twice";
        return false;
    }
    return true;
}

std::string ConfigDocument::serialize() const {
    std::string out;
    if (!document_)
        return out;
    // The parser keeps no white space outside the root element; each node at
    // that level goes on a line of its own.
    StringWriter writer(out);
    for (pugi::xml_node node : document_->children()) {
        node.print(writer, "", kFormatOptions, pugi::encoding_utf8);
        out += '\n';
    }
    return out;
}

bool ConfigDocument::saveDocument() {
    if (documentPath_.empty() || !document_)
        return false;
    const std::string xml = serialize();
    std::vector<std::uint8_t> scrambled = scrambleConfigBytes(
        std::span(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()));
    return writeFileAtomically(documentPath_, scrambled);
}

bool ConfigDocument::setDocumentAttribute(const std::string& tagName,
                                          const std::string& attributeName,
                                          const std::string& value) {
    if (value.empty() || !document_)
        return false;
    pugi::xml_node element;
    forEachDescendant(*document_, tagName, [&](pugi::xml_node found) {
        element = found;
        return false;
    });
    if (!element)
        return false;
    pugi::xml_attribute attr = element.attribute(attributeName.c_str());
    if (!attr)
        attr = element.append_attribute(attributeName.c_str());
    attr.set_value(value.c_str());
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
