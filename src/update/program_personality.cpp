// The personality side of a programming run: the kept blocks read before
// anything is erased, saved to a backup file, written back after the flash
// work and read again to check them.
#include <algorithm>
#include <ctime>

#include "update/file_digest.h"
#include "update/personality_backup.h"
#include "update/program_run.h"
#include "update/run_journal.h"

namespace vkt {
namespace {

constexpr const char* kStageKeep = "Keep user-infor";
constexpr const char* kStageRestore = "Restore user-infor.";

}  // namespace

void CmdProgram::Run::eachKeepBlock(Part part, const std::function<void(const KeepBlock&)>& visit) {
    const auto n = static_cast<std::uint32_t>(keep_.size());
    std::uint32_t i = 0;
    for (const KeepBlock& b : keep_) {
        if (!ok())
            return;
        visit(b);
        unit(part, ++i, n);
    }
}

bool CmdProgram::Run::readUserInfo() {
    if (!cmd_.request_.keepUserInfo)
        return true;
    stage(kStageKeep);
    enter(UpdatePhase::ReadingPersonality, kReadInfoPart);
    BlockTransfer xfer = transfer();
    eachKeepBlock(kReadInfoPart, [&](const KeepBlock& b) {
        if (b.kind == kUserVoice) {
            userVoice_ = b;
        } else if (cmd_.request_.writeBack) {
            // The radio's windows may be wiped: the backup is what counts.
            saved_[b.kind] = cmd_.request_.writeBack->backup.record(b.kind)->bytes;
        } else {
            auto& buffer = saved_[b.kind];
            buffer.assign(static_cast<std::size_t>(b.length), 0);
            if (!xfer.readMemory(static_cast<std::uint32_t>(b.address), buffer))
                failStep("Error:failed to read blok [%s].", blockKindName(b.kind));
        }
    });
    return cmd_.ok;
}

bool CmdProgram::Run::readUserVoice() {
    if (!userVoice_)
        return true;
    if (!traits().keepsUserVoice) {
        // This radio keeps no user-defined voice in flash: the run goes on
        // without it, and the bar without the step that writes it back.
        weight_ = 0;
        cmd_.progress.disable(Step::RestoreUserVoice);
        cmd_.progress.computeScale();
        raiseError(ErrorCategory::Update, "Error: the radio type is %d.", cmd_.radioType_);
        return true;
    }
    if (cmd_.request_.writeBack) {
        saved_[kUserVoice] = cmd_.request_.writeBack->backup.record(kUserVoice)->bytes;
        unit(kReadVoicePart, 1, 1);
        return true;
    }
    auto& buffer = saved_[kUserVoice];
    buffer.assign(static_cast<std::size_t>(userVoice_->length), 0);
    BlockTransfer xfer = transfer();
    enter(UpdatePhase::ReadingPersonality, kReadVoicePart);
    if (!xfer.readFlash(static_cast<std::uint32_t>(userVoice_->address), buffer,
                        unitsOf(kReadVoicePart))) {
        failStep("Error:failed to read blok [%s].", "USERVOI");
        return false;
    }
    return true;
}

bool CmdProgram::Run::saveBackup() {
    // Everything read so far goes to disk before anything is erased, so a
    // run that breaks off later cannot lose the personality.
    if (!cmd_.request_.keepUserInfo || saved_.empty())
        return true;
    if (cmd_.request_.writeBack) {
        // The personality is already on disk: the backup being written back.
        backupPath_ = cmd_.request_.writeBack->file;
        std::string digest;
        fileSha256Hex(backupPath_, digest);
        return cmd_.journal == nullptr || cmd_.journal->backedUp(backupPath_, digest);
    }
    PersonalityBackup backup;
    const RadioInfo& radio = *cmd_.radio;
    backup.serialNumber = radio.serialNumber;
    backup.modelRecord = radio.modelRecord;
    backup.firmwareVersion = radio.firmwareVersion;
    backup.codeplugVersion = radio.codeplugVersion;
    backup.radioType = cmd_.radioType_;
    backup.createdAt = static_cast<std::int64_t>(std::time(nullptr));
    for (const KeepBlock& b : keep_) {
        auto it = saved_.find(b.kind);
        if (it == saved_.end() || backup.record(b.kind) != nullptr)
            continue;
        backup.records.push_back({b.kind, static_cast<std::uint32_t>(b.address), it->second});
    }
    std::string digest;
    if (!writePersonalityBackup(cmd_.request_.backupFolder, backup, backupPath_, &digest))
        return false;
    ownBackup_ = true;
    return cmd_.journal == nullptr || cmd_.journal->backedUp(backupPath_, digest);
}

bool CmdProgram::Run::restoreUserInfo() {
    if (!cmd_.request_.keepUserInfo)
        return true;
    stage(kStageRestore);
    enter(UpdatePhase::RestoringPersonality, kRestoreInfoPart);
    BlockTransfer xfer = transfer();
    eachKeepBlock(kRestoreInfoPart, [&](const KeepBlock& b) {
        auto it = saved_.find(b.kind);
        if (!isMemoryKind(b.kind) || it == saved_.end())
            return;
        if (!xfer.writeMemory(static_cast<std::uint32_t>(b.address), it->second))
            failStep("Error:failed to write block [%s]", blockKindName(b.kind));
        saved_.erase(it);
    });
    return cmd_.ok;
}

bool CmdProgram::Run::checkUserInfo() {
    // The memory windows just written are read back and compared with the
    // backup on disk, the copy a recovery would write back. A radio that
    // stored them wrongly has lost part of its personality: the run still
    // closes the radio as usual, fails at its end and keeps the backup.
    if (!cmd_.request_.keepUserInfo || backupPath_.empty())
        return true;
    PersonalityBackup backup;
    if (!readPersonalityBackup(backupPath_, backup))
        return false;
    BlockTransfer xfer = transfer();
    for (const PersonalityRecord& record : backup.records) {
        if (!isMemoryKind(record.kind))
            continue;
        std::vector<std::uint8_t> stored(record.bytes.size());
        if (!xfer.readMemory(record.address, stored)) {
            failStep("Error:failed to read blok [%s].", blockKindName(record.kind));
            return false;
        }
        const auto diff = std::mismatch(stored.begin(), stored.end(), record.bytes.begin());
        if (diff.first != stored.end()) {
            const auto at =
                record.address + static_cast<std::uint32_t>(diff.first - stored.begin());
            raiseError(ErrorCategory::Update,
                       "Error:block [%s] reads back different from the personality backup at "
                       "address 0x%06X.",
                       blockKindName(record.kind), at);
            failLater();
        }
    }
    return true;
}

bool CmdProgram::Run::restoreUserVoice() {
    auto it = saved_.find(kUserVoice);
    if (!cmd_.request_.keepUserInfo || !userVoice_ || it == saved_.end())
        return true;
    enter(UpdatePhase::RestoringPersonality, kRestoreVoicePart);
    const bool written =
        requests::writeUserVoice(engine(), reply_, static_cast<std::uint32_t>(userVoice_->address),
                                 it->second, unitsOf(kRestoreVoicePart));
    saved_.erase(it);
    return written;
}

}  // namespace vkt
