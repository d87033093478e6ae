#include "package/ftf_file.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "core/error_stack.h"
#include "package/text_util.h"

namespace vkt {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens a regular file (or a link to one) for reading as raw bytes. Anything
// else (a folder, a pipe, a device) counts as a file that cannot be opened, so
// a reader never blocks on it.
FilePtr openForReading(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::path(path), ec))
        return nullptr;
    return FilePtr(std::fopen(path.c_str(), "rb"));
}

// Reads exactly `count` bytes; false when fewer arrive.
bool readExact(std::FILE* f, std::uint8_t* dest, std::size_t count) {
    return count == 0 || std::fread(dest, 1, count, f) == count;
}

std::uint32_t bigEndian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

std::int32_t littleEndian32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) |
                                     (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24));
}

bool signatureMatches(const std::uint8_t* p) {
    return std::equal(kFtfSignature.begin(), kFtfSignature.end(), p);
}

std::string bytesText(const std::uint8_t* p, std::size_t n) {
    return latin1ToUtf8(std::string_view(reinterpret_cast<const char*>(p), n));
}

}  // namespace

void scrambleFtfImage(std::span<std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] ^= kFtfSignature[i % 3];
}

std::array<std::uint8_t, 16> md5Digest(std::span<const std::uint8_t> bytes) {
    std::array<std::uint8_t, 16> digest{};
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &len, EVP_md5(), nullptr);
    return digest;
}

int scanFtfFiles(const std::string& folder, FtfFileIndex& fileIndex, FtfNameIndex& nameIndex) {
    namespace fs = std::filesystem;
    fileIndex.clear();
    nameIndex.clear();
    std::error_code ec;
    fs::directory_iterator it(fs::path(folder), ec);
    if (ec) {
        raiseError(ErrorCategory::File, "Error:failed to find the file [%s].", folder);
        return 0;
    }
    int count = 0;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        // Paths are byte strings here, so a name that is not UTF-8 passes
        // through unchanged.
        std::string name = it->path().filename().string();
        std::string fullPath = folder;
        fullPath += '/';
        fullPath += name;
        FtfInfo info;
        if (readFtfInfo(fullPath, info)) {
            nameIndex[info.internalName] = fullPath;
            fileIndex[name] = std::move(info);
            ++count;
        }
        removeErrors(ErrorCategory::Ok);
    }
    return count;
}

bool findFtfPath(const FtfNameIndex& nameIndex, const std::string& internalName,
                 std::string& fullPath) {
    auto it = nameIndex.find(internalName);
    if (it == nameIndex.end())
        return false;
    fullPath = it->second;
    return true;
}

bool readFtfInfo(const std::string& path, FtfInfo& info) {
    FilePtr f = openForReading(path);
    if (!f) {
        raiseError(ErrorCategory::File, "Error:failed to open the file [%s].", path);
        return false;
    }
    std::array<std::uint8_t, kFtfHeaderSize> header{};
    if (!readExact(f.get(), header.data(), header.size())) {
        raiseError(ErrorCategory::Ftf, "Error:failed to read FTF header for file [%s].", path);
        return false;
    }
    if (!signatureMatches(header.data())) {
        raiseError(ErrorCategory::Ftf, "Error:invalid signature for file [%s].", path);
        return false;
    }
    info = FtfInfo{};
    info.type = header[28];
    if (info.type > 3) {
        raiseError(ErrorCategory::Ftf, "Error:invalid FTF type for file [%s].", path);
        return false;
    }
    std::vector<std::uint8_t> buf(header[33]);
    if (!readExact(f.get(), buf.data(), buf.size())) {
        raiseError(ErrorCategory::Ftf, "Error:failed to read internal name for file [%s].", path);
        return false;
    }
    info.internalNameLength = header[33];
    info.internalName = bytesText(buf.data(), buf.size());
    const std::uint32_t payload = bigEndian32(&header[29]);
    switch (info.type) {
        case 0: {
            std::array<std::uint8_t, 5> th{};
            if (!readExact(f.get(), th.data(), th.size())) {
                raiseError(ErrorCategory::Ftf, "Error:faild to retrival codeplug version for [%s].",
                           path);
                return false;
            }
            std::copy_n(th.begin(), 4, info.codeplugVersion.begin());
            buf.assign(th[4], 0);
            if (!readExact(f.get(), buf.data(), buf.size())) {
                raiseError(ErrorCategory::Ftf, "Error:failed to retrival model number for [%s].",
                           path);
                return false;
            }
            info.modelNumberLength = std::min<std::uint8_t>(th[4], 11);
            std::copy_n(buf.begin(), info.modelNumberLength, info.modelNumber.begin());
            info.imageLength = static_cast<std::int32_t>(payload - th[4] - 5u);
            break;
        }
        case 1:
        case 2:
            if (!readExact(f.get(), info.codeplugVersion.data(), 4)) {
                raiseError(ErrorCategory::Ftf, "Error:faild to retreval codeplug version for [%s].",
                           path);
                return false;
            }
            info.imageLength = static_cast<std::int32_t>(payload - 4u);
            break;
        default: {
            std::uint8_t r = 0;
            if (!readExact(f.get(), &r, 1)) {
                raiseError(ErrorCategory::Ftf, "Error:faild to retreval codeplug version for [%s].",
                           path);
                return false;
            }
            buf.assign(r, 0);
            if (!readExact(f.get(), buf.data(), buf.size())) {
                raiseError(ErrorCategory::Ftf, "Error:failed to retrival model number for [%s].",
                           path);
                return false;
            }
            info.regionName = bytesText(buf.data(), std::min<std::size_t>(r, 10));
            info.imageLength = static_cast<std::int32_t>(payload - r - 1u);
            break;
        }
    }
    return true;
}

namespace {

// Body of loadFtfImage; the wrapper empties the record on failure.
bool loadFtfImageInto(const std::string& path, FtfImage& image) {
    FilePtr f = openForReading(path);
    if (!f) {
        raiseError(ErrorCategory::File, "Error:failed to open file [%s].", path);
        return false;
    }
    std::error_code ec;
    const std::uint64_t size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxFtfFileSize) {
        raiseError(ErrorCategory::File, "Error:failed to read file [%s].", path);
        return false;
    }
    std::vector<std::uint8_t>& data = image.data;
    data.assign(static_cast<std::size_t>(size), 0);
    if (!readExact(f.get(), data.data(), data.size())) {
        raiseError(ErrorCategory::File, "Error:failed to read file [%s].", path);
        return false;
    }
    if (data.size() < kFtfHeaderSize || !signatureMatches(data.data())) {
        raiseError(ErrorCategory::Ftf, "Error:invalid signature for file [%s].", path);
        return false;
    }
    auto digest = md5Digest(std::span(data).subspan(24));
    if (!std::equal(digest.begin(), digest.end(), data.begin() + 8)) {
        raiseError(ErrorCategory::Ftf, "Error:invalid file [%s].", path);
        return false;
    }
    image.type = data[28];
    image.versionText =
        fmt::sprintf("%c%02d.%02d", static_cast<char>(data[24]), data[25], data[26]);
    image.versionWord = littleEndian32(&data[24]);
    const std::size_t nameLength = data[33];
    const std::uint64_t payload = bigEndian32(&data[29]);
    // The name and the payload must both lie inside the file.
    if (kFtfHeaderSize + nameLength > data.size() ||
        payload > data.size() - kFtfHeaderSize - nameLength) {
        raiseError(ErrorCategory::Ftf, "Error:invalid file [%s].", path);
        return false;
    }
    image.internalName = bytesText(&data[kFtfHeaderSize], nameLength);
    const std::uint8_t* p = &data[kFtfHeaderSize + nameLength];
    std::size_t typeHeader = 0;
    switch (image.type) {
        case 0:
            if (payload < 5 || payload < 5u + p[4])
                break;
            if (p[4] > 20) {
                raiseError(ErrorCategory::Ftf, "Error:the model name is tool long for [%s].", path);
                return false;
            }
            image.codeplugVersion = littleEndian32(p);
            image.modelNameLength = p[4];
            std::copy_n(p + 5, p[4], image.modelName.begin());
            typeHeader = 5u + p[4];
            break;
        case 1:
        case 2:
            if (payload < 4)
                break;
            image.versionWord = littleEndian32(p);
            typeHeader = 4;
            break;
        case 3:
            if (payload < 1 || payload < 1u + p[0])
                break;
            if (p[0] > 10) {
                raiseError(ErrorCategory::Ftf, "Error:the region name is too long for [%s].", path);
                return false;
            }
            image.regionName = bytesText(p + 1, p[0]);
            typeHeader = 1u + p[0];
            break;
        default:
            break;  // an unknown type has no type header
    }
    // A payload too short for its own type header is as bad as one that
    // points past the end of the file.
    const bool hasTypeHeader = image.type >= 0 && image.type <= 3;
    if (hasTypeHeader && typeHeader == 0) {
        raiseError(ErrorCategory::Ftf, "Error:invalid file [%s].", path);
        return false;
    }
    const std::size_t imageStart = kFtfHeaderSize + nameLength + typeHeader;
    const std::size_t imageLength = static_cast<std::size_t>(payload) - typeHeader;
    data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(imageStart));
    data.resize(imageLength);
    image.length = static_cast<std::int32_t>(imageLength);
    scrambleFtfImage(data);
    return true;
}

}  // namespace

bool loadFtfImage(const std::string& path, FtfImage& image) {
    image.type = -1;
    image.regionName.clear();
    image.modelNameLength = 0;
    image.modelName.fill(0);
    image.codeplugVersion = 0;
    if (loadFtfImageInto(path, image))
        return true;
    image.data.clear();
    image.data.shrink_to_fit();
    image.length = 0;
    image.versionText.clear();
    image.internalName.clear();
    return false;
}

bool buildFtfFile(const FtfSource& source, std::vector<std::uint8_t>& out, std::string& error) {
    if (source.type < 0 || source.type > 3) {
        error = "the FTF type must be 0, 1, 2 or 3";
        return false;
    }
    if (source.internalName.size() > 255) {
        error = "the internal name is longer than 255 bytes";
        return false;
    }
    std::vector<std::uint8_t> typeHeader;
    if (source.type == 0) {
        if (source.modelNumber.size() > 20) {
            error = "the model number is longer than 20 bytes";
            return false;
        }
        typeHeader.assign(source.codeplugVersion.begin(), source.codeplugVersion.end());
        typeHeader.push_back(static_cast<std::uint8_t>(source.modelNumber.size()));
        typeHeader.insert(typeHeader.end(), source.modelNumber.begin(), source.modelNumber.end());
    } else if (source.type <= 2) {
        typeHeader.assign(source.codeplugVersion.begin(), source.codeplugVersion.end());
    } else {
        if (source.regionName.size() > 10) {
            error = "the region name is longer than 10 bytes";
            return false;
        }
        typeHeader.push_back(static_cast<std::uint8_t>(source.regionName.size()));
        typeHeader.insert(typeHeader.end(), source.regionName.begin(), source.regionName.end());
    }
    const std::uint64_t payload = typeHeader.size() + source.image.size();
    if (payload > kMaxFtfFileSize) {
        error = "the image is too large";
        return false;
    }
    out.assign(kFtfSignature.begin(), kFtfSignature.end());
    out.resize(24, 0);  // digest, filled in below
    out.insert(out.end(), source.version.begin(), source.version.end());
    out.push_back(static_cast<std::uint8_t>(source.type));
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(payload >> shift));
    }
    out.push_back(static_cast<std::uint8_t>(source.internalName.size()));
    out.insert(out.end(), source.internalName.begin(), source.internalName.end());
    out.insert(out.end(), typeHeader.begin(), typeHeader.end());
    const std::size_t imageStart = out.size();
    out.insert(out.end(), source.image.begin(), source.image.end());
    scrambleFtfImage(std::span(out).subspan(imageStart));
    auto digest = md5Digest(std::span(out).subspan(24));
    std::copy(digest.begin(), digest.end(), out.begin() + 8);
    return true;
}

bool parseVersionBytes(const std::string& text, std::array<std::uint8_t, 4>& out) {
    if (text.size() < 2 || static_cast<unsigned char>(text[0]) >= 0x80)
        return false;
    std::array<std::uint8_t, 4> v{static_cast<std::uint8_t>(text[0]), 0, 0, 0};
    std::size_t pos = 1;
    for (int i = 1; i <= 3; ++i) {
        if (i > 1) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || value > 255)
            return false;
        v[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
    }
    if (pos != text.size())
        return false;
    out = v;
    return true;
}

FtfTypeWords ftfTypeWords(std::int32_t type) {
    switch (type) {
        case 0:
            return {"model", "a model's default codeplug block"};
        case 1:
            return {"codeplug", "voice prompts"};
        case 2:
            return {"codeplug", "address map"};
        case 3:
            return {"region", "firmware"};
        default:
            return {nullptr, nullptr};
    }
}

}  // namespace vkt
