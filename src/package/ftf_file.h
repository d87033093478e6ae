// FTF flash files: the container of every image in an update package
// (firmware, default codeplug block, voice prompts, address map).
//
// Layout (numbers big-endian): 8-byte signature, 16-byte MD5 of every byte
// from offset 24 on, version letter + three numbers, FTF type (0..3), payload
// length P (4 bytes), internal-name length N (1 byte), N name bytes, then P
// payload bytes: a type header followed by the image, which is XOR-scrambled
// with the three signature characters. docs/ftf-format.md has the details.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace vkt {

// The format's signature: three characters and five zero bytes. The three
// characters are also the image's scrambling key.
inline constexpr std::array<std::uint8_t, 8> kFtfSignature = {'V', 'K', 'F', 0, 0, 0, 0, 0};
inline constexpr std::size_t kFtfHeaderSize = 34;
// Largest file the full loader reads into memory. Real images are a few MiB
// at most; a bigger file is refused rather than allocated.
inline constexpr std::uint64_t kMaxFtfFileSize = 64ull * 1024 * 1024;

// What the header scan learns about one file.
struct FtfInfo {
    std::int32_t type = 0;
    std::int32_t imageLength = 0;  // P minus the type header
    std::uint8_t internalNameLength = 0;
    std::string internalName;  // UTF-8 (each header byte widened as one character)
    std::array<std::uint8_t, 4> codeplugVersion{};  // types 0..2, as stored
    std::uint8_t modelNumberLength = 0;             // type 0: min(M, 11)
    std::array<std::uint8_t, 11> modelNumber{};     // type 0
    std::string regionName;                         // type 3: at most 10 characters
};

// What the full loader returns: the descrambled image and the header data.
struct FtfImage {
    std::int32_t length = 0;         // number of image bytes in data
    std::vector<std::uint8_t> data;  // the descrambled image (exactly `length` bytes)
    std::string versionText;         // "%c%02d.%02d" of header bytes 24..26
    std::string internalName;
    std::string regionName;  // type 3
    std::int32_t type = -1;
    std::int32_t versionWord = 0;      // bytes 24..27 (types 1, 2: type header), little-endian
    std::int32_t codeplugVersion = 0;  // type 0: type header's version, little-endian
    std::array<std::uint8_t, 20> modelName{};  // type 0
    std::uint8_t modelNameLength = 0;
};

// File name (without folder) -> header data, and internal name -> full path.
using FtfFileIndex = std::map<std::string, FtfInfo>;
using FtfNameIndex = std::map<std::string, std::string>;

// Probes every entry of `folder` and indexes the valid FTF files. The error
// stack is cleared after each entry. Returns the number of files indexed; 0
// with "Error:failed to find the file [%s]." when the folder cannot be listed.
int scanFtfFiles(const std::string& folder, FtfFileIndex& fileIndex, FtfNameIndex& nameIndex);

// Exact lookup of an internal name; leaves `fullPath` alone when absent.
bool findFtfPath(const FtfNameIndex& nameIndex, const std::string& internalName,
                 std::string& fullPath);

// Reads and checks one file's header and type header (no digest check).
bool readFtfInfo(const std::string& path, FtfInfo& info);

// Reads a whole file, checks signature, digest and lengths, and leaves the
// descrambled image in `image`. On failure `image` is left empty.
bool loadFtfImage(const std::string& path, FtfImage& image);

// XOR with the signature characters, repeated from the first image byte on.
void scrambleFtfImage(std::span<std::uint8_t> bytes);

// Everything needed to write an FTF file.
struct FtfSource {
    std::int32_t type = 0;                          // 0..3
    std::string internalName;                       // single-byte characters, at most 255
    std::array<std::uint8_t, 4> version{};          // letter + three numbers
    std::array<std::uint8_t, 4> codeplugVersion{};  // types 0..2
    std::string modelNumber;                        // type 0, at most 20 bytes
    std::string regionName;                         // type 3, at most 10 bytes
    std::vector<std::uint8_t> image;                // plain image bytes
};

// Builds the bytes of an FTF file (header, digest, type header, scrambled
// image). Returns false with `error` set when a field does not fit the format.
bool buildFtfFile(const FtfSource& source, std::vector<std::uint8_t>& out, std::string& error);

// MD5 digest of a byte range (OpenSSL EVP).
std::array<std::uint8_t, 16> md5Digest(std::span<const std::uint8_t> bytes);

// An FTF type in words: what its type header carries, and what packages
// put in files of that type by convention (the format itself does not tie
// a type to a kind of image). Null texts for a type outside 0..3.
struct FtfTypeWords {
    const char* header;        // "model", "codeplug", "region"
    const char* usualContent;  // "default codeplug block", ...
};
FtfTypeWords ftfTypeWords(std::int32_t type);

// Parses "R01.02.03" (a letter and three numbers 0..255) into four bytes.
bool parseVersionBytes(const std::string& text, std::array<std::uint8_t, 4>& out);

}  // namespace vkt
