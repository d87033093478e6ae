#include "update/cmd_program.h"

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

#include "core/error_stack.h"
#include "link/radio_info.h"
#include "link/sbep.h"
#include "link/sbep_frame.h"
#include "package/cpg.h"
#include "package/flash.h"
#include "update/file_digest.h"
#include "update/flash_verify.h"
#include "update/package_images.h"
#include "update/personality_backup.h"
#include "update/radio_requests.h"
#include "update/run_journal.h"
#include "update/time_left.h"
#include "update/transfer.h"

namespace vkt {
namespace {

constexpr std::int32_t kMaxUserVoiceLength = 0xD800;

constexpr const char* kStageStart = "Upate";
constexpr const char* kStageAddressMap = "Load address map.";
constexpr const char* kStageKeep = "Keep user-infor";
constexpr const char* kStageFirmware = "Update FW.";
constexpr const char* kStageBlocks = "Begin to update default and voice blocks.";
constexpr const char* kStageDefault = "Update default block.";
constexpr const char* kStageVoice = "Update voice block.";
constexpr const char* kStageFinalize = "Finalize flashing data.";
constexpr const char* kStageRestore = "Restore user-infor.";

bool isMemoryKind(std::int32_t kind) {
    return kind == static_cast<std::int32_t>(BlockKind::DYN) ||
           kind == static_cast<std::int32_t>(BlockKind::CH) ||
           kind == static_cast<std::int32_t>(BlockKind::FRE);
}

constexpr std::int32_t kUserVoice = static_cast<std::int32_t>(BlockKind::USERVOI);

// The parts of a run in the order they run, for the time-left estimate.
enum Part : std::size_t {
    kReadInfoPart,
    kReadVoicePart,
    kEraseFirmwarePart,
    kWriteFirmwarePart,
    kDefaultPart,
    kEraseVoicePart,
    kWriteVoicePart,
    kVerifyPart,
    kFinalizePart,
    kRestoreInfoPart,
    kRestoreVoicePart,
    kClosePart,
    kPartCount,
};

}  // namespace

void CmdProgram::enableFirmware() {
    updateFirmware = true;
    progress.enable(2);
    progress.enable(3);
}

void CmdProgram::enableDefault() {
    updateDefault = true;
    progress.enable(4);
}

void CmdProgram::enableVoice() {
    updateVoice = true;
    progress.enable(5);
    progress.enable(6);
}

void CmdProgram::enableVerify() {
    verifyFlash = true;
    progress.enable(kStepVerify);
}

void CmdProgram::enableKeepUserInfo() {
    progress.enable(0);
    progress.enable(7);
}

void CmdProgram::setKeepBlocks(std::vector<KeepBlock> blocks) {
    keepBlocks_ = std::move(blocks);
    for (const KeepBlock& b : keepBlocks_) {
        if (b.kind == kUserVoice) {
            progress.enable(1);
            progress.enable(8);
        }
    }
}

std::vector<KeepBlock> CmdProgram::keepBlocksOf(const PersonalityBackup& backup) {
    std::vector<KeepBlock> blocks;
    for (const PersonalityRecord& r : backup.records)
        blocks.push_back({r.kind, static_cast<std::int32_t>(r.address),
                          static_cast<std::int32_t>(r.bytes.size())});
    return blocks;
}

// One run of the procedure: the state that lives only while it runs.
class CmdProgram::Run {
  public:
    explicit Run(CmdProgram& cmd) : cmd_(cmd), reply_(sbep::kReceiveBufferSize, 0) {}

    bool execute();

  private:
    using Step = void (Run::*)();

    // Whether the run is still healthy. A stop asked for ends the healthy
    // part here: every check of the run is a request boundary.
    bool ok() {
        if (cmd_.ok && cmd_.stopRequested_.load())
            stopHere();
        return cmd_.ok;
    }
    // Ends the healthy part. While a stop is asked for, the failure is the
    // stop: a transfer ends at its next request when one is asked for.
    void fail() {
        if (cmd_.ok && cmd_.stopRequested_.load())
            stopHere();
        cmd_.ok = false;
    }
    // Fails with the step's message, unless the step broke off because a
    // stop was asked for.
    void failStep(const char* format, const char* name) {
        if (cmd_.ok && cmd_.stopRequested_.load()) {
            stopHere();
            return;
        }
        raiseError(ErrorCategory::Update, format, name);
        fail();
    }
    void stopHere() {
        if (!cmd_.stopped_)
            raiseErrorText(ErrorCategory::Update, "Error:the update was stopped on request.");
        cmd_.stopped_ = true;
        cmd_.ok = false;
    }
    // A check of ours that is stricter than the radio needs: the run goes on
    // as if it had passed, so the personality is still written back, and
    // fails at its end.
    void failLater() { deferredFailure_ = true; }
    // Called before every erase: the first time, the journal hears of it
    // before the request goes out; a journal that cannot record it stops
    // the run with nothing erased.
    bool mayErase();
    void stage(const char* text) { cmd_.stageText_ = text; }
    SBEP& engine() { return cmd_.radio->engine(); }
    Cpg& addressMap() { return cmd_.radio->addressMap(); }
    std::uint32_t weight(std::size_t step) const { return cmd_.progress.stepWeight(step); }
    double elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    // Reports unit k of n of a part whose step has the weight w.
    void unit(Part part, std::uint32_t k, std::uint32_t n, std::uint32_t w) {
        cmd_.setProgressNote({phase_, estimate_.secondsLeft(part, k, n, elapsed())});
        cmd_.reportUnit(k, n, w);
    }
    UnitProgress unitsOf(Part part, std::uint32_t w) {
        return [this, part, w](std::uint32_t k, std::uint32_t n) { unit(part, k, n, w); };
    }
    // The run starts a phase with `part`: the owner hears of it at once, at
    // the position the step starts at.
    void enter(UpdatePhase phase, Part part);
    // What each part will move and erase, as far as it is known once the
    // address map is loaded.
    void planTime();
    std::uint32_t layout(BlockKind kind) const { return flashLayout(cmd_.radioType_, kind); }
    BlockTransfer transfer() {
        BlockTransfer xfer(engine(), reply_);
        xfer.setStop(&cmd_.stopRequested_);
        return xfer;
    }

    bool testMode(std::uint8_t mode) { return requests::testMode(engine(), mode, reply_); }
    bool lineRate(std::uint32_t rate, std::uint8_t flag) {
        const bool switched = requests::lineRate(engine(), rate, flag, reply_);
        // A switch to 240000 that went wrong may have taken effect on one
        // side only.
        if (rate == kFastLineRate && !switched)
            lineUncertain_ = true;
        return switched;
    }
    bool protection(std::uint16_t value) { return requests::protection(engine(), value, reply_); }
    bool softport(std::uint8_t function, std::uint8_t value) {
        return requests::softport(engine(), function, value, reply_);
    }
    bool status(std::uint8_t selector, int& result) {
        return requests::status(engine(), selector, reply_, result);
    }

    void guarded(Step step) noexcept;

    void prepare();
    void checkKeepBlocks();
    void readUserInfo();
    void readUserVoice();
    void saveBackup();
    void prepareFirmware();
    void writeFirmware();
    void writeDefault();
    void prepareVoice();
    void writeVoice();
    void verifyWritten();
    void finalizeFlashing();
    void restoreUserInfo();
    void checkUserInfo();
    void restoreUserVoice();
    void closeRadio();
    void report();

    CmdProgram& cmd_;
    std::vector<std::uint8_t> reply_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    RunTimeEstimate estimate_;
    UpdatePhase phase_ = UpdatePhase::None;
    std::int32_t startBase_ = 0;
    // The keep list of this run: the owner's, or the write-back's records.
    std::vector<KeepBlock> keep_;
    std::map<std::int32_t, std::vector<std::uint8_t>> saved_;
    std::optional<KeepBlock> userVoice_;
    std::string backupPath_;
    bool ownBackup_ = false;      // this run wrote backupPath_
    bool lineUncertain_ = false;  // a switch to 240000 went wrong
    bool deferredFailure_ = false;
    bool began_ = false;  // prepare() ran far enough to post WM_CMD_BEGIN
};

bool CmdProgram::Run::execute() {
    // Every part runs whatever happened before it: a failed or stopped part
    // leaves the later ones only their closing requests, and an exception
    // (out of memory, a cable back-end that throws) fails the run like a
    // failed request instead of skipping them.
    static constexpr Step kParts[] = {
        &Run::prepare,          &Run::readUserInfo,  &Run::readUserVoice,    &Run::saveBackup,
        &Run::prepareFirmware,  &Run::writeFirmware, &Run::writeDefault,     &Run::prepareVoice,
        &Run::writeVoice,       &Run::verifyWritten, &Run::finalizeFlashing, &Run::restoreUserInfo,
        &Run::restoreUserVoice, &Run::checkUserInfo, &Run::closeRadio,       &Run::report,
    };
    for (Step part : kParts)
        guarded(part);
    return cmd_.ok;
}

void CmdProgram::Run::guarded(Step step) noexcept {
    try {
        (this->*step)();
        return;
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

void CmdProgram::Run::prepare() {
    cmd_.ok = true;
    stage(kStageStart);
    cmd_.radioType_ = 0;
    cmd_.statusWord_ = 0;
    cmd_.backupPath_.clear();
    cmd_.stopped_ = false;
    cmd_.eraseStarted_.store(false);
    cmd_.verifyReport_ = {};
    startBase_ = cmd_.progress.base;
    cmd_.progress.computeScale();
    cmd_.setProgressNote({});
    cmd_.postBegin();
    began_ = true;
    keep_ = cmd_.writeBack ? keepBlocksOf(cmd_.writeBack->backup) : cmd_.keepBlocks_;

    if (cmd_.radio == nullptr || !cmd_.radio->portOpen()) {
        raiseErrorText(ErrorCategory::Prot, "Error:no port is connected.");
        fail();
    } else {
        // The radio type comes from the test-mode reply only when the radio
        // accepted the request and sent it; no flash layout is guessed.
        if (!requests::readRadioType(engine(), reply_, cmd_.radioType_))
            fail();
    }
    if (ok() && !lineRate(kFastLineRate, 0))
        fail();

    stage(kStageAddressMap);
    if (ok() && !loadAddressMapFile(cmd_.addressFile, addressMap()))
        fail();
    checkKeepBlocks();
    if (ok() && cmd_.writeBack) {
        // The backup must be of this kind of radio, and it is only written
        // back by a run that keeps the personality.
        const PersonalityBackup& backup = cmd_.writeBack->backup;
        if (!cmd_.keepUserInfo) {
            raiseErrorText(ErrorCategory::Update,
                           "Error:a personality to write back needs the personality kept.");
            fail();
        } else if (backup.radioType != cmd_.radioType_) {
            raiseError(ErrorCategory::Update,
                       "Error:the personality backup [%s] is of a radio of type %d, this radio is "
                       "of type %d.",
                       cmd_.writeBack->file, backup.radioType, cmd_.radioType_);
            fail();
        }
    } else if (ok() && cmd_.keepUserInfo && !keep_.empty() && cmd_.backupFolder.empty()) {
        raiseErrorText(ErrorCategory::Update, "Error:no folder is set for the personality backup.");
        fail();
    }
    if (ok())
        planTime();
}

void CmdProgram::Run::planTime() {
    estimate_.resize(kPartCount);
    std::uint64_t memory = 0;
    std::uint32_t userVoice = 0;
    if (cmd_.keepUserInfo) {
        for (const KeepBlock& b : keep_) {
            const auto length = static_cast<std::uint32_t>(std::max(b.length, 0));
            if (isMemoryKind(b.kind))
                memory += length;
            else if (b.kind == kUserVoice && cmd_.radioType_ == 2)
                userVoice = length;
        }
    }
    const bool fromRadio = !cmd_.writeBack;
    estimate_.setPart(kReadInfoPart,
                      {.lineRate = kFastLineRate, .memoryBytes = fromRadio ? memory : 0});
    estimate_.setPart(kReadVoicePart,
                      {.lineRate = kFastLineRate, .flashReadBytes = fromRadio ? userVoice : 0u});
    if (cmd_.updateFirmware) {
        // The image's exact length is known once it is loaded; its file's
        // size is close to it.
        std::error_code ec;
        std::uint64_t size = std::filesystem::file_size(cmd_.firmwareFile, ec);
        if (ec)
            size = kFirmwareAreaEnd;
        estimate_.setPart(kEraseFirmwarePart, {.lineRate = kFastLineRate,
                                               .blockErases = kFirmwareAreaEnd / kBlock64K,
                                               .pauses = std::chrono::milliseconds(6)});
        estimate_.setPart(kWriteFirmwarePart, {.lineRate = kFastLineRate, .flashWriteBytes = size});
    }
    estimate_.setPart(
        kDefaultPart,
        {.lineRate = kFastLineRate,
         .flashWriteBytes = cmd_.updateDefault ? addressMap().block(BlockKind::DEF).size : 0u,
         .blockErases = 1,
         .sectorErases = cmd_.updateDefault ? 1u : 0u});
    if (cmd_.updateVoice) {
        const std::uint32_t voice = addressMap().block(BlockKind::VOI).size;
        estimate_.setPart(kEraseVoicePart,
                          {.lineRate = kFastLineRate, .blockErases = chunkCount(voice, kBlock64K)});
        estimate_.setPart(kWriteVoicePart, {.lineRate = kFastLineRate, .flashWriteBytes = voice});
    }
    if (cmd_.verifyFlash) {
        // Everything written is read back: the image, the default and the
        // voice windows.
        std::uint64_t written = 0;
        if (cmd_.updateFirmware) {
            std::error_code ec;
            const std::uint64_t size = std::filesystem::file_size(cmd_.firmwareFile, ec);
            written += ec ? kFirmwareAreaEnd : size;
        }
        if (cmd_.updateDefault)
            written += addressMap().block(BlockKind::DEF).size;
        if (cmd_.updateVoice)
            written += addressMap().block(BlockKind::VOI).size;
        estimate_.setPart(kVerifyPart, {.lineRate = kFastLineRate, .flashReadBytes = written});
    }
    const bool settles = cmd_.updateDefault || cmd_.keepUserInfo;
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

void CmdProgram::Run::checkKeepBlocks() {
    for (const KeepBlock& b : keep_) {
        if (!ok())
            return;
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
                fail();
            }
        } else if (b.kind == kUserVoice) {
            if (b.length < 0 || b.length > kMaxUserVoiceLength || b.address < 0 ||
                static_cast<std::uint32_t>(b.address) != layout(BlockKind::USERVOI)) {
                raiseError(ErrorCategory::Ini,
                           "Error:the lenth of block [%s] configured is not matched to the "
                           "address map.",
                           blockKindName(b.kind));
                fail();
            }
        }
    }
}

void CmdProgram::Run::readUserInfo() {
    const std::uint32_t w = weight(0);
    if (ok() && cmd_.keepUserInfo) {
        stage(kStageKeep);
        enter(UpdatePhase::ReadingPersonality, kReadInfoPart);
        BlockTransfer xfer = transfer();
        const auto n = static_cast<std::uint32_t>(keep_.size());
        std::uint32_t i = 0;
        for (const KeepBlock& b : keep_) {
            if (!ok())
                break;
            if (b.kind == kUserVoice) {
                userVoice_ = b;
            } else if (cmd_.writeBack) {
                // The radio's windows may be wiped: the backup is what counts.
                saved_[b.kind] = cmd_.writeBack->backup.record(b.kind)->bytes;
            } else {
                auto& buffer = saved_[b.kind];
                buffer.assign(static_cast<std::size_t>(b.length), 0);
                if (!xfer.readMemory(static_cast<std::uint32_t>(b.address), buffer))
                    failStep("Error:failed to read blok [%s].", blockKindName(b.kind));
            }
            unit(kReadInfoPart, ++i, n, w);
        }
    }
    cmd_.progress.advance(w);
}

void CmdProgram::Run::readUserVoice() {
    std::uint32_t w = weight(1);
    if (ok() && userVoice_) {
        if (cmd_.radioType_ == 2 && cmd_.writeBack) {
            saved_[kUserVoice] = cmd_.writeBack->backup.record(kUserVoice)->bytes;
            unit(kReadVoicePart, 1, 1, w);
        } else if (cmd_.radioType_ == 2) {
            auto& buffer = saved_[kUserVoice];
            buffer.assign(static_cast<std::size_t>(userVoice_->length), 0);
            BlockTransfer xfer = transfer();
            enter(UpdatePhase::ReadingPersonality, kReadVoicePart);
            if (!xfer.readFlash(static_cast<std::uint32_t>(userVoice_->address), buffer,
                                unitsOf(kReadVoicePart, w)))
                failStep("Error:failed to read blok [%s].", "USERVOI");
        } else {
            // Only radios of type 2 keep a user-defined voice in flash.
            w = 0;
            cmd_.progress.disable(8);
            cmd_.progress.computeScale();
            raiseError(ErrorCategory::Update, "Error: the radio type is %d.", cmd_.radioType_);
        }
    }
    cmd_.progress.advance(w);
}

void CmdProgram::Run::saveBackup() {
    // Everything read so far goes to disk before anything is erased, so a
    // run that breaks off later cannot lose the personality.
    if (!ok() || !cmd_.keepUserInfo || saved_.empty())
        return;
    if (cmd_.writeBack) {
        // The personality is already on disk: the backup being written back.
        backupPath_ = cmd_.writeBack->file;
        std::string digest;
        fileSha256Hex(backupPath_, digest);
        if (cmd_.journal != nullptr && !cmd_.journal->backedUp(backupPath_, digest))
            fail();
        return;
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
    if (!writePersonalityBackup(cmd_.backupFolder, backup, backupPath_, &digest)) {
        fail();
        return;
    }
    ownBackup_ = true;
    if (cmd_.journal != nullptr && !cmd_.journal->backedUp(backupPath_, digest))
        fail();
}

void CmdProgram::Run::prepareFirmware() {
    const std::uint32_t w = weight(2);
    if (ok() && cmd_.updateFirmware) {
        stage(kStageFirmware);
        if (!loadFirmwareFile(cmd_.firmwareFile, cmd_.radio->flashFile()))
            fail();
        else
            estimate_.setPart(kWriteFirmwarePart,
                              {.lineRate = kFastLineRate,
                               .flashWriteBytes = cmd_.radio->flashFile().data().size()});
    }
    if (ok() && cmd_.updateFirmware) {
        const std::uint16_t value = cmd_.radioType_ == 1   ? 0x1000
                                    : cmd_.radioType_ == 2 ? 0x3040
                                                           : 0x800;
        if (!protection(value))
            fail();
    }
    if (ok() && cmd_.updateFirmware && mayErase()) {
        enter(UpdatePhase::Erasing, kEraseFirmwarePart);
        BlockTransfer xfer = transfer();
        if (!xfer.eraseFirmwareArea(unitsOf(kEraseFirmwarePart, w)))
            fail();
    }
    cmd_.progress.advance(w);
}

void CmdProgram::Run::writeFirmware() {
    const std::uint32_t w = weight(3);
    if (ok() && cmd_.updateFirmware) {
        enter(UpdatePhase::Firmware, kWriteFirmwarePart);
        const std::vector<std::uint8_t>& image = cmd_.radio->flashFile().data();
        BlockTransfer xfer = transfer();
        // The first two bytes of the firmware area are written last: until
        // then the radio does not take the area for a valid image.
        if (image.size() > 2 &&
            !xfer.writeFlash(2, std::span(image).subspan(2), unitsOf(kWriteFirmwarePart, w)))
            fail();
        if (ok() && !image.empty() &&
            !xfer.writeFlash(0, std::span(image).first(std::min<std::size_t>(2, image.size()))))
            fail();
    }
    cmd_.progress.advance(w);

    stage(kStageBlocks);
    if (ok() && (cmd_.updateDefault || cmd_.updateVoice)) {
        const std::uint16_t value = cmd_.radioType_ == 1 || cmd_.radioType_ == 2 ? 0x3000 : 0x840;
        if (!protection(value))
            fail();
    }
}

void CmdProgram::Run::writeDefault() {
    const std::uint32_t w = weight(4);
    if (!ok()) {
        cmd_.progress.advance(w);
        return;
    }
    enter(UpdatePhase::Codeplug, kDefaultPart);
    BlockTransfer xfer = transfer();
    if (cmd_.updateDefault) {
        stage(kStageDefault);
        if (!loadStreamFile(cmd_.defaultFile, addressMap()))
            fail();
    }
    if (ok() && cmd_.updateDefault &&
        (!mayErase() || !xfer.erase(sbep::kFlashErase4K, layout(BlockKind::DEF))))
        fail();
    if (ok() && cmd_.updateDefault) {
        // The whole window is written, also the bytes no record covered.
        const auto def = windowBytes(addressMap(), BlockKind::DEF);
        if (!def || !xfer.writeFlash(layout(BlockKind::DEF), *def, unitsOf(kDefaultPart, w)))
            fail();
    }
    if (ok() && (!mayErase() || !xfer.erase(sbep::kFlashErase64K, layout(BlockKind::DYN))))
        fail();
    cmd_.progress.advance(w);
}

void CmdProgram::Run::prepareVoice() {
    const std::uint32_t w = weight(5);
    if (ok() && cmd_.updateVoice) {
        stage(kStageVoice);
        if (!loadStreamFile(cmd_.voiceFile, addressMap()))
            fail();
    }
    if (ok() && cmd_.updateVoice && mayErase()) {
        enter(UpdatePhase::Erasing, kEraseVoicePart);
        const CpgBlock& voi = addressMap().block(BlockKind::VOI);
        BlockTransfer xfer = transfer();
        if (!xfer.eraseVoiceArea(layout(BlockKind::VOI), chunkCount(voi.size, kBlock64K),
                                 unitsOf(kEraseVoicePart, w)))
            fail();
    }
    cmd_.progress.advance(w);
}

void CmdProgram::Run::writeVoice() {
    const std::uint32_t w = weight(6);
    if (ok() && cmd_.updateVoice) {
        enter(UpdatePhase::VoicePrompts, kWriteVoicePart);
        const auto voi = windowBytes(addressMap(), BlockKind::VOI);
        BlockTransfer xfer = transfer();
        if (!voi || !xfer.writeFlash(layout(BlockKind::VOI), *voi, unitsOf(kWriteVoicePart, w)))
            fail();
    }
    cmd_.progress.advance(w);
}

void CmdProgram::Run::verifyWritten() {
    // Still at the work line rate: the areas this run wrote are read back
    // and compared with the package before the radio is told it is done.
    const std::uint32_t w = weight(kStepVerify);
    const bool wrote = cmd_.updateFirmware || cmd_.updateDefault || cmd_.updateVoice;
    if (ok() && cmd_.verifyFlash && wrote) {
        PackageAreaFiles files;
        if (cmd_.updateFirmware)
            files.firmware = cmd_.firmwareFile;
        if (cmd_.updateDefault)
            files.defaultBlock = cmd_.defaultFile;
        if (cmd_.updateVoice)
            files.voice = cmd_.voiceFile;
        enter(UpdatePhase::Verifying, kVerifyPart);
        std::vector<FlashArea> areas;
        if (!expectedFlashAreas(files, addressMap(), cmd_.radioType_, areas) ||
            !verifyFlashAreas(engine(), reply_, areas, cmd_.verifyReport_, unitsOf(kVerifyPart, w),
                              &cmd_.stopRequested_))
            fail();
    }
    cmd_.progress.advance(w);
}

void CmdProgram::Run::finalizeFlashing() {
    stage(kStageFinalize);
    // The radio is made ready for its personality here, when it is kept.
    if (ok())
        enter(cmd_.keepUserInfo ? UpdatePhase::RestoringPersonality : UpdatePhase::Finishing,
              kFinalizePart);
    cmd_.statusWord_ = 0;
    // The line rate goes back whatever happened before; after a switch
    // that went wrong, without knowing which side took it.
    const bool home =
        cmd_.radio != nullptr &&
        (lineUncertain_ ? requests::returnHome(engine(), reply_) : lineRate(kSlowLineRate, 1));
    if (!home)
        fail();
    // From here to the write-back the personality exists only in memory
    // and in the backup: a reply that is merely odd (a status too short to
    // read, another opcode than expected) fails the run only after the
    // personality is back in the radio.
    if (ok() && (cmd_.updateFirmware || cmd_.updateDefault)) {
        std::fill(reply_.begin(), reply_.end(), 0);
        int r = 0;
        if (!status(sbep::kStatusWord, r)) {
            fail();
        } else if (r < 2) {
            raiseErrorText(ErrorCategory::Update, "Error:the radio's status reply is too short.");
            failLater();
        } else {
            cmd_.statusWord_ = static_cast<std::uint16_t>(reply_[0] << 8 | reply_[1]);
            if (cmd_.statusWord_ & 0x0280)
                fail();
        }
    }
    const auto answered = [this](requests::Answer answer) {
        if (answer == requests::Answer::None)
            fail();
        else if (answer == requests::Answer::Unexpected)
            failLater();
    };
    if (ok() && (cmd_.updateDefault || cmd_.keepUserInfo)) {
        std::this_thread::sleep_for(cmd_.pauses.settle);
        answered(requests::testModeAnswer(engine(), sbep::kTestModeWrite, reply_));
    }
    if (ok() && cmd_.updateDefault) {
        answered(requests::softportAnswer(engine(), sbep::kSoftportCommitDefault, 0, reply_));
        if (ok() && !(cmd_.statusWord_ & 0x0040))
            answered(requests::softportAnswer(engine(), sbep::kSoftportDefaultFollowUp, 0, reply_));
    }
}

void CmdProgram::Run::restoreUserInfo() {
    const std::uint32_t w = weight(7);
    if (ok() && cmd_.keepUserInfo) {
        stage(kStageRestore);
        enter(UpdatePhase::RestoringPersonality, kRestoreInfoPart);
        BlockTransfer xfer = transfer();
        const auto n = static_cast<std::uint32_t>(keep_.size());
        std::uint32_t i = 0;
        for (const KeepBlock& b : keep_) {
            if (!ok())
                break;
            auto it = saved_.find(b.kind);
            if (isMemoryKind(b.kind) && it != saved_.end()) {
                if (!xfer.writeMemory(static_cast<std::uint32_t>(b.address), it->second))
                    failStep("Error:failed to write block [%s]", blockKindName(b.kind));
                saved_.erase(it);
            }
            unit(kRestoreInfoPart, ++i, n, w);
        }
    }
    cmd_.progress.advance(w);
}

void CmdProgram::Run::checkUserInfo() {
    // The memory windows just written are read back and compared with the
    // backup on disk, the copy a recovery would write back. A radio that
    // stored them wrongly has lost part of its personality: the run still
    // closes the radio as usual, fails at its end and keeps the backup.
    if (!ok() || !cmd_.keepUserInfo || backupPath_.empty())
        return;
    PersonalityBackup backup;
    if (!readPersonalityBackup(backupPath_, backup)) {
        fail();
        return;
    }
    BlockTransfer xfer = transfer();
    for (const PersonalityRecord& record : backup.records) {
        if (!isMemoryKind(record.kind))
            continue;
        std::vector<std::uint8_t> stored(record.bytes.size());
        if (!xfer.readMemory(record.address, stored)) {
            failStep("Error:failed to read blok [%s].", blockKindName(record.kind));
            return;
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
}

void CmdProgram::Run::restoreUserVoice() {
    const std::uint32_t w = weight(8);
    auto it = saved_.find(kUserVoice);
    if (ok() && cmd_.keepUserInfo && userVoice_ && it != saved_.end()) {
        enter(UpdatePhase::RestoringPersonality, kRestoreVoicePart);
        if (!requests::writeUserVoice(engine(), reply_,
                                      static_cast<std::uint32_t>(userVoice_->address), it->second,
                                      unitsOf(kRestoreVoicePart, w)))
            fail();
        saved_.erase(it);
    }
    cmd_.progress.advance(w);
}

void CmdProgram::Run::closeRadio() {
    if (ok())
        enter(UpdatePhase::Finishing, kClosePart);
    if (ok() && cmd_.keepUserInfo && !softport(sbep::kSoftportPersonalityDone, 0x0A))
        fail();
    if (ok()) {
        if (!protection(requests::lockValue(cmd_.radioType_)))
            fail();
    }
    if (deferredFailure_)
        fail();
    if (cmd_.radio == nullptr)
        return;
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
}

void CmdProgram::Run::report() {
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
    cmd_.updateFirmware = false;
    cmd_.updateDefault = false;
    cmd_.updateVoice = false;
    cmd_.verifyFlash = false;
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
}

bool CmdProgram::run() {
    Run run(*this);
    return run.execute();
}

}  // namespace vkt
