// The update package's configuration (config.xml) and the installation's
// setup file (setup.dat): loaded once at start-up, then only read (the two
// setters rewrite setup.dat).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/error_stack.h"
#include "package/config_document.h"

namespace vkt {

// The one region this tool accepts, compared ignoring letter case.
inline constexpr const char* kToolRegion = "EMEA";
// True when the package's region name is the tool's region (ignoring case;
// an empty or padded name is refused).
bool isToolRegion(const std::string& regionName);
// The start-up's log text for a package of another region (a format, with
// kToolRegion in place of %s).
inline constexpr const char* kWrongRegionFormat =
    "Error:invalid config file.The the applicatio only supportes region [%s]";

struct UserInfoRange {
    std::int32_t address = 0;
    std::int32_t length = 0;
    std::set<std::uint8_t> fromVersions;  // radio's codeplug major versions; empty = any
    std::set<std::uint8_t> toVersions;    // package's codeplug major versions; empty = any
};

struct ModelEntry {
    std::string type;         // series text
    std::string alias;        // display name
    std::int32_t image = -1;  // picture 0, 1 or 2; -1 for anything else
    // block name -> version -> full path of the FTF file
    std::map<std::string, std::map<std::string, std::string>> blocks;
};

// A problem of the package as `vkt package check` lists it.
struct PackageProblem {
    std::int32_t category = 0;  // ErrorCategory
    std::string message;        // the loader's own text
    std::string internalName;   // the internal name looked for, when a file is lost
};

// Filled by a check-mode load: the problems in the order they were found,
// with the error-stack entries the layers below pushed before each.
struct PackageCheckReport {
    std::vector<PackageProblem> problems;
};

class PackageConfig {
  public:
    // Reads and writes through `store` (the process-wide store by default).
    explicit PackageConfig(ConfigDocument& store = ConfigDocument::instance());

    // The process-wide configuration, and a way for tests (and `vkt package
    // check`) to start afresh; a reset invalidates references to the old one.
    static PackageConfig& instance();
    static void resetInstance();

    // Loads config.xml, resolves its files in the folder that holds it, then
    // loads setup.dat and checks it against the configuration. On false the
    // error stack holds the reason(s).
    bool loadPackageConfig(const std::string& configPath, const std::string& setupPath);
    // The same load in check mode: it goes on past every problem it can go
    // on from (an element with a missing value or a lost file is skipped),
    // and records the problems in `report` instead of on the error stack.
    // False when there was any.
    bool checkPackageConfig(const std::string& configPath, const std::string& setupPath,
                            PackageCheckReport& report);

    bool isModelKnown(const std::string& modelName) const;
    bool getModel(const std::string& modelName, ModelEntry& entry) const;
    bool getBlockFile(const std::string& modelName, const std::string& blockName,
                      const std::string& version, std::string& path) const;
    bool getVoiceFile(const std::string& version, std::string& path) const;
    bool getAddressFile(const std::string& version, std::string& path) const;
    // First range of `kind` (in file order) whose version sets admit both
    // versions; address and length are 0 when none does.
    bool findUserInfoRange(std::int32_t kind, std::uint8_t fromVersion, std::uint8_t toVersion,
                           std::int32_t& address, std::int32_t& length) const;

    // The keys of the maps below in their order, without touching the
    // enumerators' positions. An unknown model or block has no versions.
    std::vector<std::string> modelNames() const;
    std::vector<std::string> voiceVersions() const;
    std::vector<std::string> addressVersions() const;
    std::vector<std::int32_t> userInfoKinds() const;
    std::vector<std::string> blockVersions(const std::string& modelName,
                                           const std::string& blockName) const;

    // Enumerators: each call yields the next element; after the last one a
    // call returns false (output untouched) and the next pass starts over.
    bool nextModelName(std::string& name);
    bool nextVoiceVersion(std::string& version);
    bool nextAddressVersion(std::string& version);
    bool nextUserInfoKind(std::int32_t& kind);
    bool nextLanguage(std::string& code);
    // Versions of one model's block; the arguments are read at the start of
    // each pass only.
    bool nextBlockVersion(const std::string& modelName, const std::string& blockName,
                          std::string& version);

    // setup.dat: first <langs def=...> and first <pwd cd2=...>. False, nothing
    // written, for an empty text or when the element is missing.
    bool setDefaultLanguage(const std::string& code);
    bool setDealerPassword(const std::string& password);

    std::string regionId;
    std::string regionName;
    std::string firmwarePath;
    std::string firmwareVersion;
    std::map<std::string, std::string> voiceFiles;    // version -> full path
    std::map<std::string, std::string> addressFiles;  // version -> full path
    std::map<std::int32_t, std::vector<UserInfoRange>> userInfoRanges;
    std::map<std::string, ModelEntry> models;
    std::vector<std::string> languages;  // filled by the application, not the loader
    std::string defaultLanguage;         // setup.dat: first langs/@def
    std::string loginPassword;           // setup.dat: first pwd/@cd2
    std::string savedPassword;           // last password stored by setDealerPassword

  private:
    // Cursor of one enumerator: on the element with key `key`, on the first
    // element when `key` is empty, or past the end.
    template <typename Key>
    struct Cursor {
        std::optional<Key> key;
        bool pastEnd = false;
    };
    // Yields the element under the cursor and moves on; false when past the end.
    template <typename Map, typename Key>
    static bool step(const Map& map, Cursor<Key>& cursor, Key& out);
    // An enumerator's call: step, or go back to the first element.
    template <typename Map, typename Key>
    static bool advance(const Map& map, Cursor<Key>& cursor, Key& out);

    bool loadConfigHalf(const std::string& configPath);
    bool loadSetupHalf(const std::string& setupPath);
    // Reports one problem: on the error stack, or in check mode into the
    // report (with the stack's entries before it). Returns whether the load
    // goes on.
    bool problem(ErrorCategory category, const std::string& message,
                 const std::string& internalName = {});

    ConfigDocument& store_;
    PackageCheckReport* check_ = nullptr;  // set during a check-mode load
    Cursor<std::string> modelCursor_;
    Cursor<std::string> voiceCursor_;
    Cursor<std::string> addressCursor_;
    Cursor<std::int32_t> kindCursor_;
    std::size_t languageIndex_ = 0;
    // nextBlockVersion's pass: restart flag, the model and block it walks.
    bool blockRestart_ = true;
    std::string blockModel_;
    std::string blockName_;
    Cursor<std::string> blockCursor_;
};

}  // namespace vkt
