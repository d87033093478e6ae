#include "sim/state_dump.h"

#include <fmt/format.h>
#include <openssl/evp.h>

#include <fstream>
#include <iterator>

namespace vkt::sim {

namespace {

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            out += fmt::format("\\u{:04x}", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    std::string hex;
    for (unsigned int i = 0; i < length; ++i)
        hex += fmt::format("{:02x}", digest[i]);
    return hex;
}

std::string stateJson(const SimRadio& radio, const DumpFiles& files) {
    const auto flash = radio.flash(0, radio.flashSize());
    const auto memory = radio.memory(kPersonalityStart, kPersonalitySize);
    const auto protection = radio.protection();
    std::string j = "{\n";
    j += fmt::format("  \"serialNumber\": {},\n", jsonString(radio.serialNumber()));
    j += fmt::format("  \"factorySerialNumber\": {},\n", jsonString(radio.factorySerialNumber()));
    j += fmt::format("  \"radioType\": {},\n", radio.radioType());
    j += fmt::format("  \"firmwareVersion\": {},\n",
                     jsonString(versionText(radio.firmwareVersion(), true)));
    j += fmt::format("  \"codeplugVersion\": {},\n",
                     jsonString(versionText(radio.codeplugVersion(), false)));
    j += fmt::format("  \"lineRate\": {},\n", radio.lineRate());
    j += fmt::format("  \"protection\": {},\n",
                     protection ? fmt::format("{}", *protection) : std::string("null"));
    j += fmt::format("  \"testMode\": {},\n", radio.testMode());
    j += fmt::format("  \"bytesIn\": {},\n", radio.bytesIn());
    j += fmt::format("  \"bytesOut\": {},\n", radio.bytesOut());
    j += fmt::format("  \"requests\": {},\n", radio.requestLog().size());
    j += fmt::format("  \"wireSeconds\": {:.6f},\n", radio.wireSeconds());
    j += fmt::format("  \"radioSeconds\": {:.6f},\n", radio.radioSeconds());
    j += fmt::format("  \"flashSize\": {},\n", flash.size());
    j += fmt::format("  \"flashSha256\": {},\n", jsonString(sha256Hex(flash)));
    j += fmt::format("  \"memorySha256\": {},\n", jsonString(sha256Hex(memory)));
    j += fmt::format("  \"flashFile\": {},\n", jsonString(files.flashImage));
    j += fmt::format("  \"memoryFile\": {}\n", jsonString(files.memoryWindow));
    j += "}\n";
    return j;
}

std::string wireStatsJson(const SimRadio& radio) {
    std::string j = "{\n";
    j += fmt::format("  \"bytesIn\": {},\n", radio.bytesIn());
    j += fmt::format("  \"bytesOut\": {},\n", radio.bytesOut());
    j += fmt::format("  \"requests\": {},\n", radio.requestLog().size());
    j += fmt::format("  \"paceFactor\": {},\n", radio.timing().paceFactor);
    j += fmt::format("  \"wireSeconds\": {:.6f},\n", radio.wireSeconds());
    j += fmt::format("  \"radioSeconds\": {:.6f}\n", radio.radioSeconds());
    j += "}\n";
    return j;
}

bool writeBinaryFile(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    // A write that fails only when the buffer is flushed counts too.
    out.close();
    return !out.fail();
}

bool readBinaryFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace vkt::sim
