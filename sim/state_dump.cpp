#include "sim/state_dump.h"

#include <fmt/format.h>
#include <openssl/evp.h>
#include <nlohmann/json.hpp>

namespace vkt::sim {

namespace {

// Indented, one key per line; bytes that are not UTF-8 (a radio's serial
// number may hold any) become U+FFFD rather than an exception.
std::string jsonText(const nlohmann::ordered_json& j) {
    return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
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
    nlohmann::ordered_json j;
    j["serialNumber"] = radio.serialNumber();
    j["factorySerialNumber"] = radio.factorySerialNumber();
    j["radioType"] = radio.radioType();
    j["firmwareVersion"] = versionText(radio.firmwareVersion(), true);
    j["codeplugVersion"] = versionText(radio.codeplugVersion(), false);
    j["lineRate"] = radio.lineRate();
    j["protection"] = protection ? nlohmann::ordered_json(*protection) : nullptr;
    j["testMode"] = radio.testMode();
    j["bytesIn"] = radio.bytesIn();
    j["bytesOut"] = radio.bytesOut();
    j["requests"] = radio.requestLog().size();
    j["wireSeconds"] = radio.wireSeconds();
    j["radioSeconds"] = radio.radioSeconds();
    j["flashSize"] = flash.size();
    j["flashSha256"] = sha256Hex(flash);
    j["memorySha256"] = sha256Hex(memory);
    j["flashFile"] = files.flashImage;
    j["memoryFile"] = files.memoryWindow;
    return jsonText(j);
}

std::string wireStatsJson(const SimRadio& radio) {
    nlohmann::ordered_json j;
    j["bytesIn"] = radio.bytesIn();
    j["bytesOut"] = radio.bytesOut();
    j["requests"] = radio.requestLog().size();
    j["paceFactor"] = radio.timing().paceFactor;
    j["wireSeconds"] = radio.wireSeconds();
    j["radioSeconds"] = radio.radioSeconds();
    return jsonText(j);
}

}  // namespace vkt::sim
