// Personality backup files: the radio's user information (dynamic data,
// channels, frequencies, user-defined voice) as read before an update
// erases anything, kept on disk until the update has written it back.
// docs/personality-backup.md describes the format.
//
// Files are written under a temporary name, flushed to disk and renamed, so
// a file with the final name is always complete. Reading checks everything
// (magic, version, lengths, checksum) before a byte is used.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <vector>

#include "update/command.h"

namespace vkt {

class RadioInfo;

inline constexpr std::array<std::uint8_t, 8> kPersonalityMagic = {'V', 'K', 'T', 'P',
                                                                  'E', 'R', 'S', 0};
inline constexpr std::uint16_t kPersonalityFormatVersion = 1;
inline constexpr const char* kPersonalityExtension = ".pvk";
// Largest backup file read: far above any real personality (a few hundred KB).
inline constexpr std::uint64_t kMaxPersonalityFileSize = 16ull * 1024 * 1024;

// Kinds of record: the block kind of the address map (DYN 0, CH 6, FRE 7:
// radio memory; USERVOI 9: flash).
struct PersonalityRecord {
    std::int32_t kind = 0;
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
    bool operator==(const PersonalityRecord&) const = default;
};

struct PersonalityBackup {
    std::array<std::uint8_t, 10> serialNumber{};
    std::array<std::uint8_t, 11> modelRecord{};
    std::uint8_t radioType = 0;
    std::array<std::uint8_t, 4> firmwareVersion{};
    std::array<std::uint8_t, 4> codeplugVersion{};
    std::int64_t createdAt = 0;  // seconds since 1970-01-01 UTC
    std::vector<PersonalityRecord> records;
    bool operator==(const PersonalityBackup&) const = default;

    // The record of a kind, or null.
    const PersonalityRecord* record(std::int32_t kind) const;
};

// The file's bytes.
std::vector<std::uint8_t> encodePersonalityBackup(const PersonalityBackup& backup);
// Parses and checks a file's bytes. False with `error` set for a file that
// is not a complete, intact backup.
bool decodePersonalityBackup(std::span<const std::uint8_t> bytes, PersonalityBackup& backup,
                             std::string& error);

// "<serial>-<YYYYmmdd-HHMMSS>.pvk" (UTC); characters of the serial number
// that are not letters or digits become '_'.
std::string personalityBackupName(const PersonalityBackup& backup);
// The folder of one radio's backups under the backup folder: its serial
// number as in the file name ("unknown" when it has none).
std::string personalityBackupSubfolder(const PersonalityBackup& backup);

// Writes the backup under its name into the radio's folder below `folder`
// (both created when needed; a running number is added when the name
// exists). On success `path` is the file's path and `sha256`, when given,
// the SHA-256 (hex) of its bytes; on failure an UPDATE error is pushed.
bool writePersonalityBackup(const std::string& folder, const PersonalityBackup& backup,
                            std::string& path, std::string* sha256 = nullptr);
// Reads and checks a backup file; on failure a FILE error naming the file
// and the reason is pushed.
bool readPersonalityBackup(const std::string& path, PersonalityBackup& backup);

// Writes a personality backup back into the connected radio: the memory
// blocks with memory writes in test mode, the user-defined voice into flash
// (4 KB erases at 240000 bit/s, the line rate set back to 16406 also after a
// failure). A backup of another radio (serial number differs) is refused
// unless `force` is set.
class CmdRestorePersonality : public Command {
  public:
    RadioInfo* radio = nullptr;  // not owned; its identity is read when not valid
    PersonalityBackup backup;
    bool force = false;

    bool run() override;
};

}  // namespace vkt
