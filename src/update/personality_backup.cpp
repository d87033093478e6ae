#include "update/personality_backup.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <set>

#include <fmt/format.h>

#include "core/error_stack.h"
#include "core/file_io.h"
#include "link/radio_info.h"
#include "link/sbep.h"
#include "link/sbep_frame.h"
#include "package/cpg.h"
#include "update/file_digest.h"
#include "update/radio_requests.h"
#include "update/radio_traits.h"
#include "update/transfer.h"

namespace vkt {
namespace {

// Offsets of the fixed header.
constexpr std::size_t kHeaderSize = 52;
constexpr std::size_t kRecordHeaderSize = 12;
constexpr std::size_t kDigestSize = 32;  // SHA-256
// Radio memory addresses have 24 bits.
constexpr std::uint64_t kMemoryLimit = 0x1000000;

constexpr std::int32_t kUserVoice = static_cast<std::int32_t>(BlockKind::USERVOI);

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void put64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::uint64_t get(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t count) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < count; ++i)
        v = v << 8 | bytes[offset + i];
    return v;
}

template <typename Array>
void putArray(std::vector<std::uint8_t>& out, const Array& a) {
    out.insert(out.end(), a.begin(), a.end());
}

template <typename Array>
void getArray(std::span<const std::uint8_t> bytes, std::size_t offset, Array& a) {
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), a.size(), a.begin());
}

std::array<std::uint8_t, kDigestSize> sha256(std::span<const std::uint8_t> bytes) {
    std::array<std::uint8_t, kDigestSize> digest{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

// The serial number as a file-name part: letters and digits kept, anything
// else '_'; "unknown" when it holds nothing.
std::string serialForName(const std::array<std::uint8_t, 10>& serial) {
    std::string out;
    bool any = false;
    for (std::uint8_t c : serial) {
        if (c == 0)
            break;
        const bool alnum = std::isalnum(c) != 0 && c < 0x80;
        out.push_back(alnum ? static_cast<char>(c) : '_');
        any = any || alnum;
    }
    return any ? out : "unknown";
}

std::string serialText(const std::array<std::uint8_t, 10>& serial) {
    std::string out;
    for (std::uint8_t c : serial)
        out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    return out;
}

}  // namespace

const PersonalityRecord* PersonalityBackup::record(std::int32_t kind) const {
    auto it = std::find_if(records.begin(), records.end(),
                           [kind](const PersonalityRecord& r) { return r.kind == kind; });
    return it == records.end() ? nullptr : &*it;
}

std::vector<std::uint8_t> encodePersonalityBackup(const PersonalityBackup& backup) {
    std::vector<std::uint8_t> out;
    putArray(out, kPersonalityMagic);
    put16(out, kPersonalityFormatVersion);
    putArray(out, backup.serialNumber);
    putArray(out, backup.modelRecord);
    out.push_back(backup.radioType);
    putArray(out, backup.firmwareVersion);
    putArray(out, backup.codeplugVersion);
    put64(out, static_cast<std::uint64_t>(backup.createdAt));
    put16(out, static_cast<std::uint16_t>(backup.records.size()));
    put16(out, 0);  // reserved
    for (const PersonalityRecord& r : backup.records) {
        put32(out, static_cast<std::uint32_t>(r.kind));
        put32(out, r.address);
        put32(out, static_cast<std::uint32_t>(r.bytes.size()));
        out.insert(out.end(), r.bytes.begin(), r.bytes.end());
    }
    putArray(out, sha256(out));
    return out;
}

bool decodePersonalityBackup(std::span<const std::uint8_t> bytes, PersonalityBackup& backup,
                             std::string& error) {
    if (bytes.size() < kPersonalityMagic.size() ||
        !std::equal(kPersonalityMagic.begin(), kPersonalityMagic.end(), bytes.begin())) {
        error = "not a personality backup file";
        return false;
    }
    if (bytes.size() < kHeaderSize + kDigestSize) {
        error = "the file is truncated";
        return false;
    }
    const auto version = static_cast<std::uint16_t>(get(bytes, 8, 2));
    if (version != kPersonalityFormatVersion) {
        error = fmt::format("format version {} is not supported", version);
        return false;
    }
    const std::size_t bodyEnd = bytes.size() - kDigestSize;
    const auto digest = sha256(bytes.first(bodyEnd));
    if (!std::equal(digest.begin(), digest.end(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(bodyEnd))) {
        error = "the checksum does not match (the file is damaged or truncated)";
        return false;
    }
    PersonalityBackup out;
    getArray(bytes, 10, out.serialNumber);
    getArray(bytes, 20, out.modelRecord);
    out.radioType = bytes[31];
    getArray(bytes, 32, out.firmwareVersion);
    getArray(bytes, 36, out.codeplugVersion);
    out.createdAt = static_cast<std::int64_t>(get(bytes, 40, 8));
    const std::size_t count = get(bytes, 48, 2);
    // Bytes 50..51 are reserved (zero in version 1).
    std::size_t pos = kHeaderSize;
    std::set<std::int32_t> kinds;
    for (std::size_t i = 0; i < count; ++i) {
        if (bodyEnd - pos < kRecordHeaderSize) {
            error = fmt::format("record {} runs past the end of the file", i + 1);
            return false;
        }
        PersonalityRecord r;
        r.kind = static_cast<std::int32_t>(get(bytes, pos, 4));
        r.address = static_cast<std::uint32_t>(get(bytes, pos + 4, 4));
        const std::uint64_t length = get(bytes, pos + 8, 4);
        pos += kRecordHeaderSize;
        if (length > bodyEnd - pos) {
            error = fmt::format("record {} runs past the end of the file", i + 1);
            return false;
        }
        if (!isMemoryKind(r.kind) && r.kind != kUserVoice) {
            error = fmt::format("record {} has the unknown kind {}", i + 1, r.kind);
            return false;
        }
        if (!kinds.insert(r.kind).second) {
            error = fmt::format("the block {} is stored twice", blockKindName(r.kind));
            return false;
        }
        if (isMemoryKind(r.kind) ? r.address + length > kMemoryLimit
                                 : length > kMaxUserVoiceLength) {
            error = fmt::format("the block {} does not fit the radio", blockKindName(r.kind));
            return false;
        }
        r.bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                       bytes.begin() + static_cast<std::ptrdiff_t>(pos + length));
        pos += length;
        out.records.push_back(std::move(r));
    }
    if (pos != bodyEnd) {
        error = "unexpected bytes after the last record";
        return false;
    }
    backup = std::move(out);
    return true;
}

std::string personalityBackupName(const PersonalityBackup& backup) {
    const std::time_t t = static_cast<std::time_t>(backup.createdAt);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    return serialForName(backup.serialNumber) + "-" + stamp + kPersonalityExtension;
}

std::string personalityBackupSubfolder(const PersonalityBackup& backup) {
    return serialForName(backup.serialNumber);
}

bool writePersonalityBackup(const std::string& root, const PersonalityBackup& backup,
                            std::string& path, std::string* sha256) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::string folder = (fs::path(root) / personalityBackupSubfolder(backup)).string();
    fs::create_directories(folder, ec);
    if (ec) {
        raiseError(ErrorCategory::Update, "Error:failed to create the backup folder [%s].", folder);
        return false;
    }
    // A second run within the same second gets a running number.
    const std::string name = personalityBackupName(backup);
    const std::string stem = name.substr(0, name.size() - std::strlen(kPersonalityExtension));
    std::string target = (fs::path(folder) / name).string();
    for (int n = 1; fs::exists(target, ec) && n < 1000; ++n)
        target =
            (fs::path(folder) / fmt::format("{}-{}{}", stem, n, kPersonalityExtension)).string();
    if (fs::exists(target, ec)) {
        raiseError(ErrorCategory::Update, "Error:failed to write the personality backup [%s].",
                   target);
        return false;
    }
    // A file with the final name is always complete.
    const auto bytes = encodePersonalityBackup(backup);
    if (!writeFileAtomically(target, bytes)) {
        raiseError(ErrorCategory::Update, "Error:failed to write the personality backup [%s].",
                   target);
        return false;
    }
    // The radio's folder may be new: its entry in the backup folder is
    // made durable too.
    syncFolder(root);
    path = target;
    if (sha256 != nullptr)
        *sha256 = sha256Hex(bytes);
    return true;
}

bool readPersonalityBackup(const std::string& path, PersonalityBackup& backup) {
    std::vector<std::uint8_t> bytes;
    std::string error;
    switch (readRegularFile(path, bytes, kMaxPersonalityFileSize)) {
        case ReadFailure::CannotOpen:
            raiseError(ErrorCategory::File, "Error:failed to open the file [%s].", path);
            return false;
        case ReadFailure::NotRegularFile:
            error = "not a regular file";
            break;
        case ReadFailure::TooLarge:
            error = "the file is too large";
            break;
        case ReadFailure::ReadError:  // what was read is checked like a short file
        case ReadFailure::None:
            decodePersonalityBackup(bytes, backup, error);
            break;
    }
    if (!error.empty()) {
        raiseError(ErrorCategory::File, "Error:the personality backup [%s] is invalid: %s.", path,
                   error);
        return false;
    }
    return true;
}

bool CmdRestorePersonality::run() {
    std::vector<std::uint8_t> reply(sbep::kReceiveBufferSize, 0);
    ok = true;
    postBegin();
    const auto fail = [this] { ok = false; };
    if (radio == nullptr || !radio->portOpen()) {
        raiseErrorText(ErrorCategory::Prot, "Error:no port is connected.");
        fail();
    }
    if (ok && !radio->identityValid() && !radio->readIdentity()) {
        raiseErrorText(ErrorCategory::Update, "Error:failed to read the radio's identity.");
        fail();
    }
    if (ok && radio->serialNumber != backup.serialNumber && !force) {
        raiseError(ErrorCategory::Update,
                   "Error:the backup belongs to the radio [%s], not to this radio [%s].",
                   serialText(backup.serialNumber), serialText(radio->serialNumber));
        fail();
    }
    std::uint8_t radioType = 0;
    if (ok && !requests::readRadioType(radio->engine(), reply, radioType))
        fail();
    // Every record is checked against the radio before anything is written.
    const PersonalityRecord* voice = backup.record(kUserVoice);
    if (ok && voice != nullptr &&
        (!radioTraits(radioType).keepsUserVoice ||
         voice->address != flashLayout(radioType, BlockKind::USERVOI) ||
         voice->bytes.size() > kMaxUserVoiceLength)) {
        raiseError(ErrorCategory::Update,
                   "Error:the user-defined voice of the backup does not fit this radio (type %d).",
                   radioType);
        fail();
    }
    if (ok && !requests::testMode(radio->engine(), sbep::kTestModeWrite, reply))
        fail();
    if (ok) {
        BlockTransfer xfer(radio->engine(), reply);
        for (const PersonalityRecord& r : backup.records) {
            if (isMemoryKind(r.kind) && !xfer.writeMemory(r.address, r.bytes)) {
                raiseError(ErrorCategory::Update, "Error:failed to write block [%s]",
                           blockKindName(r.kind));
                fail();
                break;
            }
        }
    }
    if (ok && voice != nullptr &&
        !requests::writeUserVoice(radio->engine(), reply, voice->address, voice->bytes))
        fail();
    if (ok && !requests::softport(radio->engine(), sbep::kSoftportPersonalityDone,
                                  sbep::kPersonalityDoneValue, reply))
        fail();
    if (ok && !requests::protection(radio->engine(), radioTraits(radioType).lock, reply))
        fail();
    if (radio != nullptr) {
        int r = 0;
        if (!requests::status(radio->engine(), sbep::kStatusFlags, reply, r))
            fail();
        if (!requests::status(radio->engine(), sbep::kStatusWord, reply, r))
            fail();
    }
    postEnd();
    if (!ok)
        raiseErrorText(ErrorCategory::Update, "Error:failed to restore the personality.");
    return ok;
}

}  // namespace vkt
