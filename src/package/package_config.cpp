#include "package/package_config.h"

#include <filesystem>
#include <memory>

#include <fmt/printf.h>

#include "core/ascii.h"
#include "core/error_stack.h"
#include "package/ftf_file.h"
#include "package/text_util.h"

namespace vkt {
namespace {

// Thrown inside one half of the load for a failure that has no message of its
// own (an absent attribute, an img that is no number, no root element); the
// half catches it and reports its general message. It never leaves this file.
struct UnexpectedFailure {};

std::string requireAttribute(pugi::xml_node element, std::string_view name) {
    auto value = ConfigDocument::attribute(element, name);
    if (!value)
        throw UnexpectedFailure{};
    return *value;
}

// Items of a caret-separated version list, each kept as its low 8 bits.
void addVersionItems(const std::string& list, std::set<std::uint8_t>& out) {
    if (list.empty())
        return;
    std::size_t start = 0;
    while (true) {
        std::size_t caret = list.find('^', start);
        out.insert(parseDecimalLow8(std::string_view(list).substr(start, caret - start)));
        if (caret == std::string::npos)
            break;
        start = caret + 1;
    }
}

// Block kinds that a user-info range may name.
std::optional<std::int32_t> userInfoKind(const std::string& name) {
    struct Named {
        const char* name;
        std::int32_t kind;
    };
    static constexpr Named kKinds[] = {{"DYN", 0}, {"CH", 6}, {"FRE", 7}, {"USERVOI", 9}};
    for (const Named& k : kKinds) {
        if (equalsIgnoreCase(name, k.name))
            return k.kind;
    }
    return std::nullopt;
}

std::unique_ptr<PackageConfig>& instanceSlot() {
    static std::unique_ptr<PackageConfig> config = std::make_unique<PackageConfig>();
    return config;
}

}  // namespace

bool isToolRegion(const std::string& regionName) {
    return !regionName.empty() && equalsIgnoreCase(regionName, kToolRegion);
}

PackageConfig::PackageConfig(ConfigDocument& store) : store_(store) {}

PackageConfig& PackageConfig::instance() {
    return *instanceSlot();
}

void PackageConfig::resetInstance() {
    instanceSlot() = std::make_unique<PackageConfig>();
}

bool PackageConfig::loadPackageConfig(const std::string& configPath, const std::string& setupPath) {
    return loadConfigHalf(configPath) && loadSetupHalf(setupPath);
}

bool PackageConfig::checkPackageConfig(const std::string& configPath, const std::string& setupPath,
                                       PackageCheckReport& report) {
    check_ = &report;
    const std::size_t before = report.problems.size();
    // The setup half is checked even when the configuration is broken.
    loadConfigHalf(configPath);
    loadSetupHalf(setupPath);
    // What the layers below pushed last, with no problem of the load after it.
    for (ErrorEntry& entry : errorEntries())
        report.problems.push_back({entry.category, std::move(entry.message), {}});
    removeErrors(ErrorCategory::Ok);
    check_ = nullptr;
    return report.problems.size() == before;
}

bool PackageConfig::problem(ErrorCategory category, const std::string& message,
                            const std::string& internalName) {
    if (check_ == nullptr) {
        raiseErrorText(category, message);
        return false;
    }
    for (ErrorEntry& entry : errorEntries())
        check_->problems.push_back({entry.category, std::move(entry.message), {}});
    removeErrors(ErrorCategory::Ok);
    check_->problems.push_back({static_cast<std::int32_t>(category), message, internalName});
    return true;
}

bool PackageConfig::loadConfigHalf(const std::string& configPath) {
    if (!store_.readScrambledFile(configPath) || !store_.parseDocument()) {
        problem(ErrorCategory::Ini, fmt::sprintf("The initial file [%s] is invalid.", configPath));
        return false;
    }
    bool healthy = true;
    // A problem: false ends the load; in check mode it goes on.
    const auto fail = [&](const std::string& message, const std::string& internalName = {}) {
        healthy = false;
        return !problem(ErrorCategory::Ini, message, internalName);
    };
    try {
        // The index covers every entry of the folder that holds config.xml.
        const std::filesystem::path parent = std::filesystem::path(configPath).parent_path();
        const std::string folder = parent.empty() ? std::string(".") : parent.string();
        FtfFileIndex fileIndex;
        FtfNameIndex nameIndex;
        scanFtfFiles(folder, fileIndex, nameIndex);
        auto lookup = [&](const std::string& internalName, std::string& path) {
            return findFtfPath(nameIndex, internalName, path);
        };

        pugi::xml_node root = store_.root();
        if (!root)
            throw UnexpectedFailure{};
        regionId = requireAttribute(root, "id");
        if (regionId.empty() && fail("The Region ID is empty."))
            return false;
        regionName = requireAttribute(root, "name");
        if (regionName.empty() && fail("The Region name is empty."))
            return false;

        auto firmware = ConfigDocument::descendants(root, "fi");
        if (!firmware.empty()) {
            std::string path;
            const std::string name = requireAttribute(firmware.front(), "name");
            if (!lookup(name, path)) {
                if (fail("The FW file is lost.", name))
                    return false;
            } else {
                firmwarePath = path;
            }
            firmwareVersion = requireAttribute(firmware.front(), "ver");
            if (firmwareVersion.empty() && fail("The FW version is empty."))
                return false;
        }

        struct VersionedFiles {
            const char* tag;
            std::map<std::string, std::string>& files;
            const char* emptyVersion;
            const char* lost;
        };
        for (const VersionedFiles& group :
             {VersionedFiles{"vp", voiceFiles, "The VP versio is empty", "Voice file is lost."},
              VersionedFiles{"ad", addressFiles, "The ADDR version is empty.",
                             "Address file is lost."}}) {
            for (pugi::xml_node element : ConfigDocument::descendants(root, group.tag)) {
                std::string version = requireAttribute(element, "ver");
                if (version.empty()) {
                    if (fail(group.emptyVersion))
                        return false;
                    continue;
                }
                std::string path;
                const std::string name = requireAttribute(element, "name") + version;
                if (!lookup(name, path)) {
                    if (fail(group.lost, name))
                        return false;
                    continue;
                }
                group.files[version] = path;
            }
        }

        auto userInfo = ConfigDocument::descendants(root, "bu");
        if (!userInfo.empty()) {
            for (pugi::xml_node element : ConfigDocument::descendants(userInfo.front(), "bl")) {
                auto kind = userInfoKind(requireAttribute(element, "name"));
                if (!kind)
                    continue;  // empty or not a kept block: skipped silently
                UserInfoRange range;
                addVersionItems(requireAttribute(element, "from"), range.fromVersions);
                addVersionItems(requireAttribute(element, "to"), range.toVersions);
                std::string addr = requireAttribute(element, "addr");
                if (!addr.empty())
                    range.address = parseHexClamped(addr);
                std::string len = requireAttribute(element, "len");
                if (!len.empty())
                    range.length = parseHexClamped(len);
                userInfoRanges[*kind].push_back(std::move(range));
            }
        }

        for (pugi::xml_node element : ConfigDocument::descendants(root, "mo")) {
            ModelEntry entry;
            entry.type = requireAttribute(element, "type");
            if (entry.type.empty() && fail("Block type is empty."))
                return false;
            entry.alias = requireAttribute(element, "alias");
            if (entry.alias.empty() && fail("Block alias is empty."))
                return false;
            StrictInt image = parseStrictInt(requireAttribute(element, "img"));
            if (!image.isNumber)
                throw UnexpectedFailure{};
            entry.image = image.value && *image.value >= 0 && *image.value <= 2 ? *image.value : -1;
            std::string modelName = requireAttribute(element, "name");
            if (modelName.empty() && fail("Model name is empty."))
                return false;
            for (pugi::xml_node block : ConfigDocument::descendants(element, "bl")) {
                std::string blockName = requireAttribute(block, "name");
                if (blockName.empty()) {
                    if (fail("Block name is empty."))
                        return false;
                    continue;
                }
                std::string version = requireAttribute(block, "ver");
                if (version.empty()) {
                    if (fail("Block version is empty."))
                        return false;
                    continue;
                }
                std::string path;
                std::string internalName = modelName;
                internalName += blockName;
                internalName += version;
                if (!lookup(internalName, path)) {
                    if (fail(fmt::sprintf("Block %s file is lost.", modelName), internalName))
                        return false;
                    continue;
                }
                entry.blocks[blockName][version] = path;
            }
            models[modelName] = std::move(entry);
        }
    } catch (...) {  // UnexpectedFailure, or the parser running out of memory
        problem(ErrorCategory::Ini, fmt::sprintf("Failed to load config file [%s].", configPath));
        return false;
    }
    return healthy;
}

bool PackageConfig::loadSetupHalf(const std::string& setupPath) {
    if (!store_.readScrambledFile(setupPath) || !store_.parseDocument()) {
        problem(ErrorCategory::Ini, fmt::sprintf("The setup file [%s] is invalid.", setupPath));
        return false;
    }
    bool healthy = true;
    const auto fail = [&](const char* message) {
        healthy = false;
        return !problem(ErrorCategory::Ini, message);
    };
    std::string id;
    std::string name;
    try {
        pugi::xml_node root = store_.root();
        if (!root)
            throw UnexpectedFailure{};
        id = requireAttribute(root, "id");
        if (id.empty() && fail("The Region ID is empty."))
            return false;
        name = requireAttribute(root, "name");
        if (name.empty() && fail("The Region name is empty."))
            return false;
    } catch (...) {  // UnexpectedFailure, or the parser running out of memory
        problem(ErrorCategory::Ini, fmt::sprintf("Failed to load setup file [%s].", setupPath));
        return false;
    }
    // An empty id or name was reported already; comparing it says nothing new.
    if (!id.empty() && !regionId.empty() && id != regionId &&
        fail("The setup has a different region id with config."))
        return false;
    if (!name.empty() && !regionName.empty() && name != regionName &&
        fail("The setup has a different region name with config."))
        return false;
    // The chosen language and the dealer password; both may be absent.
    pugi::xml_node document = store_.root().root();
    auto firstValue = [&](const char* tag, const char* attribute) {
        auto elements = ConfigDocument::descendants(document, tag);
        if (elements.empty())
            return std::string();
        return ConfigDocument::attribute(elements.front(), attribute).value_or(std::string());
    };
    defaultLanguage = firstValue("langs", "def");
    loginPassword = firstValue("pwd", "cd2");
    return healthy;
}

bool PackageConfig::isModelKnown(const std::string& modelName) const {
    return models.count(modelName) != 0;
}

bool PackageConfig::getModel(const std::string& modelName, ModelEntry& entry) const {
    auto it = models.find(modelName);
    if (it == models.end() || it->second.type.empty())
        return false;
    entry = it->second;
    return true;
}

namespace {

bool lookupPath(const std::map<std::string, std::string>& files, const std::string& version,
                std::string& path) {
    path.clear();
    auto it = files.find(version);
    if (it != files.end())
        path = it->second;
    return !path.empty();
}

}  // namespace

bool PackageConfig::getBlockFile(const std::string& modelName, const std::string& blockName,
                                 const std::string& version, std::string& path) const {
    path.clear();
    auto model = models.find(modelName);
    if (model == models.end())
        return false;
    auto block = model->second.blocks.find(blockName);
    if (block == model->second.blocks.end())
        return false;
    return lookupPath(block->second, version, path);
}

bool PackageConfig::getVoiceFile(const std::string& version, std::string& path) const {
    return lookupPath(voiceFiles, version, path);
}

bool PackageConfig::getAddressFile(const std::string& version, std::string& path) const {
    return lookupPath(addressFiles, version, path);
}

bool PackageConfig::findUserInfoRange(std::int32_t kind, std::uint8_t fromVersion,
                                      std::uint8_t toVersion, std::int32_t& address,
                                      std::int32_t& length) const {
    address = 0;
    length = 0;
    if (static_cast<std::uint32_t>(kind) > 9)
        return false;
    auto it = userInfoRanges.find(kind);
    if (it == userInfoRanges.end())
        return false;
    for (const UserInfoRange& range : it->second) {
        if ((range.fromVersions.empty() || range.fromVersions.count(fromVersion) != 0) &&
            (range.toVersions.empty() || range.toVersions.count(toVersion) != 0)) {
            address = range.address;
            length = range.length;
            return true;
        }
    }
    return false;
}

template <typename Map, typename Key>
bool PackageConfig::step(const Map& map, Cursor<Key>& cursor, Key& out) {
    if (cursor.pastEnd)
        return false;
    auto it = cursor.key ? map.lower_bound(*cursor.key) : map.begin();
    if (it == map.end()) {
        cursor.pastEnd = true;
        return false;
    }
    out = it->first;
    ++it;
    if (it == map.end()) {
        cursor.pastEnd = true;
    } else {
        cursor.key = it->first;
    }
    return true;
}

template <typename Map, typename Key>
bool PackageConfig::advance(const Map& map, Cursor<Key>& cursor, Key& out) {
    if (step(map, cursor, out))
        return true;
    cursor = Cursor<Key>{};
    return false;
}

namespace {

template <typename Map>
std::vector<typename Map::key_type> keysOf(const Map& map) {
    std::vector<typename Map::key_type> keys;
    keys.reserve(map.size());
    for (const auto& entry : map)
        keys.push_back(entry.first);
    return keys;
}

}  // namespace

std::vector<std::string> PackageConfig::modelNames() const {
    return keysOf(models);
}

std::vector<std::string> PackageConfig::voiceVersions() const {
    return keysOf(voiceFiles);
}

std::vector<std::string> PackageConfig::addressVersions() const {
    return keysOf(addressFiles);
}

std::vector<std::int32_t> PackageConfig::userInfoKinds() const {
    return keysOf(userInfoRanges);
}

std::vector<std::string> PackageConfig::blockVersions(const std::string& modelName,
                                                      const std::string& blockName) const {
    const auto model = models.find(modelName);
    if (model == models.end())
        return {};
    const auto block = model->second.blocks.find(blockName);
    return block == model->second.blocks.end() ? std::vector<std::string>{} : keysOf(block->second);
}

bool PackageConfig::nextModelName(std::string& name) {
    return advance(models, modelCursor_, name);
}

bool PackageConfig::nextVoiceVersion(std::string& version) {
    return advance(voiceFiles, voiceCursor_, version);
}

bool PackageConfig::nextAddressVersion(std::string& version) {
    return advance(addressFiles, addressCursor_, version);
}

bool PackageConfig::nextUserInfoKind(std::int32_t& kind) {
    return advance(userInfoRanges, kindCursor_, kind);
}

bool PackageConfig::nextLanguage(std::string& code) {
    if (languageIndex_ < languages.size()) {
        code = languages[languageIndex_++];
        return true;
    }
    languageIndex_ = 0;
    return false;
}

bool PackageConfig::nextBlockVersion(const std::string& modelName, const std::string& blockName,
                                     std::string& version) {
    version.clear();
    if (blockRestart_) {
        blockModel_ = modelName;
        blockName_ = blockName;
        blockCursor_ = Cursor<std::string>{};
        blockRestart_ = false;
    }
    const std::map<std::string, std::string>* versions = nullptr;
    if (auto model = models.find(blockModel_); model != models.end()) {
        if (auto block = model->second.blocks.find(blockName_);
            block != model->second.blocks.end()) {
            versions = &block->second;
        }
    }
    if (versions != nullptr && step(*versions, blockCursor_, version))
        return true;
    blockRestart_ = true;
    return false;
}

bool PackageConfig::setDefaultLanguage(const std::string& code) {
    if (code.empty())
        return false;
    return store_.setDocumentAttribute("langs", "def", code);
}

bool PackageConfig::setDealerPassword(const std::string& password) {
    if (password.empty())
        return false;
    savedPassword = password;
    return store_.setDocumentAttribute("pwd", "cd2", password);
}

}  // namespace vkt
