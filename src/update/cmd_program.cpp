#include "update/cmd_program.h"

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <thread>

#include "link/sbep_frame.h"
#include "package/cpg.h"
#include "package/flash.h"
#include "update/flash_verify.h"
#include "update/package_images.h"
#include "update/program_run.h"
#include "update/run_journal.h"

namespace vkt {
namespace {

constexpr const char* kStageStart = "Upate";
constexpr const char* kStageAddressMap = "Load address map.";
constexpr const char* kStageFirmware = "Update FW.";
constexpr const char* kStageBlocks = "Begin to update default and voice blocks.";
constexpr const char* kStageDefault = "Update default block.";
constexpr const char* kStageVoice = "Update voice block.";
constexpr const char* kStageFinalize = "Finalize flashing data.";

}  // namespace

std::vector<KeepBlock> CmdProgram::keepBlocksOf(const PersonalityBackup& backup) {
    std::vector<KeepBlock> blocks;
    for (const PersonalityRecord& r : backup.records)
        blocks.push_back({r.kind, static_cast<std::int32_t>(r.address),
                          static_cast<std::int32_t>(r.bytes.size())});
    return blocks;
}

bool CmdProgram::run() {
    Run run(*this);
    return run.execute();
}

bool CmdProgram::Run::execute() {
    // The flash work runs at the work line rate; the first failure ends it.
    runWhileHealthy({
        {&Run::prepare, {}},
        {&Run::readUserInfo, Step::ReadPersonality},
        {&Run::readUserVoice, Step::ReadUserVoice},
        {&Run::saveBackup, {}},
        {&Run::prepareFirmware, Step::EraseFirmware},
        {&Run::writeFirmware, Step::WriteFirmware},
        {&Run::openBlocks, {}},
        {&Run::writeDefault, Step::WriteDefault},
        {&Run::prepareVoice, Step::EraseVoice},
        {&Run::writeVoice, Step::WriteVoice},
        {&Run::verifyWritten, Step::Verify},
    });
    runAlways(&Run::leaveWorkRate);
    if (ok())
        runWhileHealthy({
            {&Run::checkStatus, {}},
            {&Run::commitDefault, {}},
            {&Run::restoreUserInfo, Step::RestorePersonality},
            {&Run::restoreUserVoice, Step::RestoreUserVoice},
            {&Run::checkUserInfo, {}},
            {&Run::lockFlash, {}},
        });
    // Radio and cable are closed whatever ended the run: a failed or
    // stopped step, or an exception.
    runAlways(&Run::closeRadio);
    runAlways(&Run::report);
    return cmd_.ok;
}

void CmdProgram::Run::enableSteps() {
    ProgressAccount& progress = cmd_.progress;
    progress.clearSteps();
    if (writesFirmware()) {
        progress.enable(Step::EraseFirmware);
        progress.enable(Step::WriteFirmware);
    }
    if (writesDefault())
        progress.enable(Step::WriteDefault);
    if (writesVoice()) {
        progress.enable(Step::EraseVoice);
        progress.enable(Step::WriteVoice);
    }
    if (cmd_.request_.verifyFlash)
        progress.enable(Step::Verify);
    if (cmd_.request_.keepUserInfo) {
        progress.enable(Step::ReadPersonality);
        progress.enable(Step::RestorePersonality);
    }
    for (const KeepBlock& b : keep_) {
        if (b.kind == kUserVoice) {
            progress.enable(Step::ReadUserVoice);
            progress.enable(Step::RestoreUserVoice);
        }
    }
}

void CmdProgram::Run::runWhileHealthy(std::initializer_list<Stage> stages) {
    bool first = true;
    for (const Stage& s : stages) {
        if (!first && !ok())
            return;
        first = false;
        weight_ = s.step ? cmd_.progress.stepWeight(*s.step) : 0;
        if (!guarded(s.action) || !cmd_.ok) {
            fail();
            return;
        }
        cmd_.progress.advance(weight_);
    }
}

void CmdProgram::Run::runAlways(Action action) {
    weight_ = 0;
    if (!guarded(action))
        fail();
}

bool CmdProgram::Run::guarded(Action action) noexcept {
    try {
        return (this->*action)();
    } catch (const std::exception& e) {
        try {
            raiseError(ErrorCategory::Update, "Error:the update broke off: %s.", e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            raiseErrorText(ErrorCategory::Update, "Error:the update broke off.");
        } catch (...) {
        }
    }
    cmd_.ok = false;
    return false;
}

bool CmdProgram::Run::mayErase() {
    if (cmd_.eraseStarted_.load())
        return ok();
    if (!ok())
        return false;
    if (cmd_.journal != nullptr && !cmd_.journal->erasing()) {
        fail();
        return false;
    }
    // A stop asked for meanwhile still finds the radio untouched.
    if (!ok())
        return false;
    cmd_.eraseStarted_.store(true);
    return true;
}

bool CmdProgram::Run::prepare() {
    cmd_.ok = true;
    stage(kStageStart);
    cmd_.radioType_ = 0;
    cmd_.statusWord_ = 0;
    cmd_.backupPath_.clear();
    cmd_.stopped_ = false;
    cmd_.eraseStarted_.store(false);
    cmd_.verifyReport_ = {};
    startBase_ = cmd_.progress.base;
    keep_ = cmd_.request_.writeBack ? keepBlocksOf(cmd_.request_.writeBack->backup)
                                    : cmd_.request_.keepBlocks;
    enableSteps();
    cmd_.progress.computeScale();
    cmd_.setProgressNote({});
    cmd_.postBegin();
    began_ = true;

    if (cmd_.radio == nullptr || !cmd_.radio->portOpen()) {
        raiseErrorText(ErrorCategory::Prot, "Error:no port is connected.");
        return false;
    }
    // The radio type comes from the test-mode reply only when the radio
    // accepted the request and sent it; no flash layout is guessed.
    if (!requests::readRadioType(engine(), reply_, cmd_.radioType_))
        return false;
    if (!ok() || !lineRate(kFastLineRate, 0))
        return false;

    stage(kStageAddressMap);
    if (!ok() || !loadAddressMapFile(cmd_.request_.addressFile, addressMap()) ||
        !checkKeepBlocks() || !ok())
        return false;
    if (cmd_.request_.writeBack) {
        // The backup must be of this kind of radio, and it is only written
        // back by a run that keeps the personality.
        const PersonalityBackup& backup = cmd_.request_.writeBack->backup;
        if (!cmd_.request_.keepUserInfo) {
            raiseErrorText(ErrorCategory::Update,
                           "Error:a personality to write back needs the personality kept.");
            return false;
        }
        if (backup.radioType != cmd_.radioType_) {
            raiseError(ErrorCategory::Update,
                       "Error:the personality backup [%s] is of a radio of type %d, this radio is "
                       "of type %d.",
                       cmd_.request_.writeBack->file, backup.radioType, cmd_.radioType_);
            return false;
        }
    } else if (cmd_.request_.keepUserInfo && !keep_.empty() && cmd_.request_.backupFolder.empty()) {
        raiseErrorText(ErrorCategory::Update, "Error:no folder is set for the personality backup.");
        return false;
    }
    planTime();
    return true;
}

void CmdProgram::Run::planTime() {
    estimate_.resize(kPartCount);
    std::uint64_t memory = 0;
    std::uint32_t userVoice = 0;
    if (cmd_.request_.keepUserInfo) {
        for (const KeepBlock& b : keep_) {
            const auto length = static_cast<std::uint32_t>(std::max(b.length, 0));
            if (isMemoryKind(b.kind))
                memory += length;
            else if (b.kind == kUserVoice && traits().keepsUserVoice)
                userVoice = length;
        }
    }
    // The image's exact length is known once it is loaded; its file's size
    // is close to it.
    std::uint64_t firmwareSize = 0;
    if (writesFirmware()) {
        std::error_code ec;
        firmwareSize = std::filesystem::file_size(*cmd_.request_.firmwareFile, ec);
        if (ec)
            firmwareSize = kFirmwareAreaEnd;
    }
    const bool fromRadio = !cmd_.request_.writeBack;
    estimate_.setPart(kReadInfoPart,
                      {.lineRate = kFastLineRate, .memoryBytes = fromRadio ? memory : 0});
    estimate_.setPart(kReadVoicePart,
                      {.lineRate = kFastLineRate, .flashReadBytes = fromRadio ? userVoice : 0u});
    if (writesFirmware()) {
        estimate_.setPart(kEraseFirmwarePart, {.lineRate = kFastLineRate,
                                               .blockErases = kFirmwareAreaEnd / kBlock64K,
                                               .pauses = std::chrono::milliseconds(6)});
        estimate_.setPart(kWriteFirmwarePart,
                          {.lineRate = kFastLineRate, .flashWriteBytes = firmwareSize});
    }
    estimate_.setPart(
        kDefaultPart,
        {.lineRate = kFastLineRate,
         .flashWriteBytes = writesDefault() ? addressMap().block(BlockKind::DEF).size : 0u,
         .blockErases = 1,
         .sectorErases = writesDefault() ? 1u : 0u});
    if (writesVoice()) {
        const std::uint32_t voice = addressMap().block(BlockKind::VOI).size;
        estimate_.setPart(kEraseVoicePart,
                          {.lineRate = kFastLineRate, .blockErases = chunkCount(voice, kBlock64K)});
        estimate_.setPart(kWriteVoicePart, {.lineRate = kFastLineRate, .flashWriteBytes = voice});
    }
    if (cmd_.request_.verifyFlash) {
        // Everything written is read back: the image, the default and the
        // voice windows.
        std::uint64_t written = firmwareSize;
        if (writesDefault())
            written += addressMap().block(BlockKind::DEF).size;
        if (writesVoice())
            written += addressMap().block(BlockKind::VOI).size;
        estimate_.setPart(kVerifyPart, {.lineRate = kFastLineRate, .flashReadBytes = written});
    }
    const bool settles = writesDefault() || cmd_.request_.keepUserInfo;
    estimate_.setPart(kFinalizePart,
                      {.lineRate = kSlowLineRate,
                       .pauses = settles ? cmd_.pauses.settle : std::chrono::milliseconds(0)});
    // The personality goes back at the radio's own line rate; its voice at
    // the work rate again.
    // The windows written back are read again to check them.
    estimate_.setPart(kRestoreInfoPart, {.lineRate = kSlowLineRate, .memoryBytes = 2 * memory});
    estimate_.setPart(kRestoreVoicePart, {.lineRate = kFastLineRate,
                                          .flashWriteBytes = userVoice,
                                          .sectorErases = chunkCount(userVoice, kSector4K)});
    estimate_.setPart(kClosePart, {.lineRate = kSlowLineRate, .pauses = cmd_.pauses.finalPosition});
}

void CmdProgram::Run::enter(UpdatePhase phase, Part part) {
    if (phase == phase_)
        return;
    phase_ = phase;
    cmd_.setProgressNote({phase, estimate_.secondsLeft(part, 0, 1, elapsed())});
    cmd_.sendProgress(static_cast<std::uint32_t>(cmd_.progress.base));
}

bool CmdProgram::Run::checkKeepBlocks() {
    for (const KeepBlock& b : keep_) {
        if (!ok())
            return false;
        if (isMemoryKind(b.kind)) {
            const CpgBlock& window = addressMap().block(b.kind);
            const std::int64_t start = b.address;
            const std::int64_t end = start + b.length;
            if (b.address < 0 || b.length < 0 || start < window.address ||
                end > std::int64_t{window.address} + window.size) {
                raiseError(ErrorCategory::Ini,
                           "Error:the address or lenth of block [%s] configured is not matched "
                           "to the address map.",
                           blockKindName(b.kind));
                return false;
            }
        } else if (b.kind == kUserVoice) {
            if (b.length < 0 || static_cast<std::uint32_t>(b.length) > kMaxUserVoiceLength ||
                b.address < 0 ||
                static_cast<std::uint32_t>(b.address) != layout(BlockKind::USERVOI)) {
                raiseError(ErrorCategory::Ini,
                           "Error:the lenth of block [%s] configured is not matched to the "
                           "address map.",
                           blockKindName(b.kind));
                return false;
            }
        }
    }
    return true;
}

bool CmdProgram::Run::prepareFirmware() {
    if (!writesFirmware())
        return true;
    stage(kStageFirmware);
    if (!loadFirmwareFile(*cmd_.request_.firmwareFile, cmd_.radio->flashFile()))
        return false;
    estimate_.setPart(
        kWriteFirmwarePart,
        {.lineRate = kFastLineRate, .flashWriteBytes = cmd_.radio->flashFile().data().size()});
    if (!ok() || !protection(traits().firmwareUnlock) || !mayErase())
        return false;
    enter(UpdatePhase::Erasing, kEraseFirmwarePart);
    return transfer().eraseFirmwareArea(unitsOf(kEraseFirmwarePart));
}

bool CmdProgram::Run::writeFirmware() {
    if (!writesFirmware())
        return true;
    enter(UpdatePhase::Firmware, kWriteFirmwarePart);
    const std::vector<std::uint8_t>& image = cmd_.radio->flashFile().data();
    BlockTransfer xfer = transfer();
    // The first two bytes of the firmware area are written last: until
    // then the radio does not take the area for a valid image.
    if (image.size() > 2 &&
        !xfer.writeFlash(2, std::span(image).subspan(2), unitsOf(kWriteFirmwarePart)))
        return false;
    if (!ok())
        return false;
    return image.empty() ||
           xfer.writeFlash(0, std::span(image).first(std::min<std::size_t>(2, image.size())));
}

bool CmdProgram::Run::openBlocks() {
    stage(kStageBlocks);
    return !(writesDefault() || writesVoice()) || protection(traits().blocksUnlock);
}

bool CmdProgram::Run::writeDefault() {
    enter(UpdatePhase::Codeplug, kDefaultPart);
    BlockTransfer xfer = transfer();
    if (writesDefault()) {
        stage(kStageDefault);
        if (!loadStreamFile(*cmd_.request_.defaultFile, addressMap()) || !mayErase() ||
            !xfer.erase(traits().defaultErase, layout(BlockKind::DEF)) || !ok())
            return false;
        // The whole window is written, also the bytes no record covered.
        const auto def = windowBytes(addressMap(), BlockKind::DEF);
        if (!def || !xfer.writeFlash(layout(BlockKind::DEF), *def, unitsOf(kDefaultPart)))
            return false;
    }
    // The DYN area is erased on every run: the radio rebuilds it.
    return mayErase() && xfer.erase(traits().dynamicErase, layout(BlockKind::DYN));
}

bool CmdProgram::Run::prepareVoice() {
    if (!writesVoice())
        return true;
    stage(kStageVoice);
    if (!loadStreamFile(*cmd_.request_.voiceFile, addressMap()) || !mayErase())
        return false;
    enter(UpdatePhase::Erasing, kEraseVoicePart);
    const CpgBlock& voi = addressMap().block(BlockKind::VOI);
    return transfer().eraseVoiceArea(layout(BlockKind::VOI), chunkCount(voi.size, kBlock64K),
                                     unitsOf(kEraseVoicePart));
}

bool CmdProgram::Run::writeVoice() {
    if (!writesVoice())
        return true;
    enter(UpdatePhase::VoicePrompts, kWriteVoicePart);
    const auto voi = windowBytes(addressMap(), BlockKind::VOI);
    return voi && transfer().writeFlash(layout(BlockKind::VOI), *voi, unitsOf(kWriteVoicePart));
}

bool CmdProgram::Run::verifyWritten() {
    // Still at the work line rate: the areas this run wrote are read back
    // and compared with the package before the radio is told it is done.
    const bool wrote = writesFirmware() || writesDefault() || writesVoice();
    if (!cmd_.request_.verifyFlash || !wrote)
        return true;
    PackageAreaFiles files;
    if (writesFirmware())
        files.firmware = *cmd_.request_.firmwareFile;
    if (writesDefault())
        files.defaultBlock = *cmd_.request_.defaultFile;
    if (writesVoice())
        files.voice = *cmd_.request_.voiceFile;
    enter(UpdatePhase::Verifying, kVerifyPart);
    std::vector<FlashArea> areas;
    return expectedFlashAreas(files, addressMap(), cmd_.radioType_, areas) &&
           verifyFlashAreas(engine(), reply_, areas, cmd_.verifyReport_, unitsOf(kVerifyPart),
                            &cmd_.stopRequested_);
}

bool CmdProgram::Run::leaveWorkRate() {
    stage(kStageFinalize);
    // The radio is made ready for its personality next, when it is kept.
    if (ok())
        enter(
            cmd_.request_.keepUserInfo ? UpdatePhase::RestoringPersonality : UpdatePhase::Finishing,
            kFinalizePart);
    cmd_.statusWord_ = 0;
    // The line rate goes back whatever happened before; after a switch
    // that went wrong, without knowing which side took it.
    return cmd_.radio != nullptr &&
           (lineUncertain_ ? requests::returnHome(engine(), reply_) : lineRate(kSlowLineRate, 1));
}

// From here to the write-back the personality exists only in memory and in
// the backup: a reply that is merely odd (a status too short to read,
// another opcode than expected) fails the run only after the personality is
// back in the radio.
bool CmdProgram::Run::checkStatus() {
    if (!writesFirmware() && !writesDefault())
        return true;
    std::fill(reply_.begin(), reply_.end(), 0);
    int r = 0;
    if (!status(sbep::kStatusWord, r))
        return false;
    if (r < 2) {
        raiseErrorText(ErrorCategory::Update, "Error:the radio's status reply is too short.");
        failLater();
        return true;
    }
    cmd_.statusWord_ = static_cast<std::uint16_t>(reply_[0] << 8 | reply_[1]);
    return (cmd_.statusWord_ & sbep::kStatusWordFlashFailed) == 0;
}

bool CmdProgram::Run::commitDefault() {
    if (writesDefault() || cmd_.request_.keepUserInfo) {
        std::this_thread::sleep_for(cmd_.pauses.settle);
        if (!answered(requests::testModeAnswer(engine(), sbep::kTestModeWrite, reply_)))
            return false;
    }
    if (!writesDefault())
        return true;
    if (!ok() ||
        !answered(requests::softportAnswer(engine(), sbep::kSoftportCommitDefault, 0, reply_)) ||
        !ok())
        return false;
    return (cmd_.statusWord_ & sbep::kStatusWordDefaultSettled) != 0 ||
           answered(requests::softportAnswer(engine(), sbep::kSoftportDefaultFollowUp, 0, reply_));
}

bool CmdProgram::Run::lockFlash() {
    enter(UpdatePhase::Finishing, kClosePart);
    if (cmd_.request_.keepUserInfo && !requests::softport(engine(), sbep::kSoftportPersonalityDone,
                                                          sbep::kPersonalityDoneValue, reply_))
        return false;
    return ok() && protection(traits().lock);
}

bool CmdProgram::Run::closeRadio() {
    if (deferredFailure_)
        fail();
    if (cmd_.radio == nullptr)
        return true;
    // Radio and cable leave the run at 16406, whichever way it ended; the
    // closing status requests go out also after a failure (they fail at once
    // without reaching the radio when the port is closed).
    if (cmd_.radio->portOpen() && engine().cable().baudRate() != kSlowLineRate &&
        !requests::returnHome(engine(), reply_))
        fail();
    int r = 0;
    if (!status(sbep::kStatusFlags, r))
        fail();
    if (!status(sbep::kStatusWord, r))
        fail();
    return true;
}

bool CmdProgram::Run::report() {
    if (cmd_.radio == nullptr)
        fail();
    cmd_.progress.base = static_cast<std::int32_t>(static_cast<std::uint32_t>(cmd_.progress.total) +
                                                   static_cast<std::uint32_t>(startBase_));
    // The full bar, then the emptied one: both with the run's ending, so
    // neither is taken for work still going on.
    cmd_.setProgressNote({cmd_.ok ? UpdatePhase::Done : UpdatePhase::Failed, cmd_.ok ? 0 : -1});
    cmd_.sendProgress(static_cast<std::uint32_t>(cmd_.progress.base));
    std::this_thread::sleep_for(cmd_.pauses.finalPosition);
    cmd_.sendProgress(0);
    if (began_)
        cmd_.postEnd();

    saved_.clear();
    cmd_.request_.firmwareFile.reset();
    cmd_.request_.defaultFile.reset();
    cmd_.request_.voiceFile.reset();
    cmd_.request_.verifyFlash = false;
    cmd_.progress.clearSteps();

    if (!backupPath_.empty()) {
        if (cmd_.ok || cmd_.eraseStarted_.load()) {
            // The last good personality of the radio: kept.
            cmd_.backupPath_ = backupPath_;
            if (!cmd_.ok)
                raiseError(ErrorCategory::Update, "Error:the radio's personality is saved in [%s].",
                           backupPath_);
        } else if (ownBackup_) {
            // Nothing was erased: the radio still holds its personality.
            ::unlink(backupPath_.c_str());
        }
    }
    if (!cmd_.ok)
        raiseErrorText(ErrorCategory::Update, cmd_.stageText_);
    return true;
}

}  // namespace vkt
