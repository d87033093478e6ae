#include "update/cmd_program.h"

#include <unistd.h>
#include <algorithm>
#include <map>
#include <optional>
#include <thread>

#include "core/error_stack.h"
#include "link/radio_info.h"
#include "link/sbep.h"
#include "link/sbep_frame.h"
#include "package/cpg.h"
#include "package/flash.h"
#include "package/ftf_file.h"
#include "update/personality_backup.h"
#include "update/radio_requests.h"
#include "update/transfer.h"

namespace vkt {
namespace {

using requests::kHomeRate;
using requests::kWorkRate;

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

// One run of the procedure: the state that lives only while it runs.
class CmdProgram::Run {
  public:
    explicit Run(CmdProgram& cmd) : cmd_(cmd), reply_(sbep::kReceiveBufferSize, 0) {}

    bool execute();

  private:
    bool& ok() { return cmd_.ok; }
    void fail() { cmd_.ok = false; }
    void stage(const char* text) { cmd_.stageText_ = text; }
    SBEP& engine() { return cmd_.radio->engine(); }
    Cpg& addressMap() { return cmd_.radio->addressMap(); }
    std::uint32_t weight(std::size_t step) const { return cmd_.progress.stepWeight(step); }
    UnitProgress unitsOf(std::uint32_t w) {
        return [this, w](std::uint32_t k, std::uint32_t n) { cmd_.reportUnit(k, n, w); };
    }
    std::uint32_t layout(BlockKind kind) const { return flashLayout(cmd_.radioType_, kind); }

    bool testMode(std::uint8_t mode) { return requests::testMode(engine(), mode, reply_); }
    bool lineRate(std::uint32_t rate, std::uint8_t flag) {
        return requests::lineRate(engine(), rate, flag, reply_);
    }
    bool protection(std::uint16_t value) { return requests::protection(engine(), value, reply_); }
    bool softport(std::uint8_t function, std::uint8_t value) {
        return requests::softport(engine(), function, value, reply_);
    }
    bool status(std::uint8_t selector, int& result) {
        return requests::status(engine(), selector, reply_, result);
    }

    bool loadImage(const std::string& path, FtfImage& image);

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
    void finalizeFlashing();
    void restoreUserInfo();
    void restoreUserVoice();
    void finish();

    CmdProgram& cmd_;
    std::vector<std::uint8_t> reply_;
    std::int32_t startBase_ = 0;
    std::map<std::int32_t, std::vector<std::uint8_t>> saved_;
    std::optional<KeepBlock> userVoice_;
    std::string backupPath_;
};

bool CmdProgram::Run::loadImage(const std::string& path, FtfImage& image) {
    return loadFtfImage(path, image) && image.length > 0 && !image.data.empty();
}

bool CmdProgram::Run::execute() {
    prepare();
    readUserInfo();
    readUserVoice();
    saveBackup();
    prepareFirmware();
    writeFirmware();
    writeDefault();
    prepareVoice();
    writeVoice();
    finalizeFlashing();
    restoreUserInfo();
    restoreUserVoice();
    finish();
    return cmd_.ok;
}

void CmdProgram::Run::prepare() {
    cmd_.ok = true;
    stage(kStageStart);
    cmd_.radioType_ = 0;
    cmd_.statusWord_ = 0;
    cmd_.backupPath_.clear();
    startBase_ = cmd_.progress.base;
    cmd_.progress.computeScale();
    cmd_.postBegin();

    if (cmd_.radio == nullptr || !cmd_.radio->portOpen()) {
        raiseErrorText(ErrorCategory::Prot, "Error:no port is connected.");
        fail();
    } else {
        // The radio type comes from the test-mode reply only when the radio
        // accepted the request and sent it; no flash layout is guessed.
        if (!requests::readRadioType(engine(), reply_, cmd_.radioType_))
            fail();
    }
    if (ok() && !lineRate(kWorkRate, 0))
        fail();

    stage(kStageAddressMap);
    if (ok()) {
        FtfImage image;
        if (!loadImage(cmd_.addressFile, image) ||
            !addressMap().parseAddressMap(reinterpret_cast<const char*>(image.data.data()),
                                          image.data.size())) {
            raiseError(ErrorCategory::Ini, "Error:failed to parse address file [%s].",
                       cmd_.addressFile);
            fail();
        }
    }
    checkKeepBlocks();
    if (ok() && cmd_.keepUserInfo && !cmd_.keepBlocks_.empty() && cmd_.backupFolder.empty()) {
        raiseErrorText(ErrorCategory::Update, "Error:no folder is set for the personality backup.");
        fail();
    }
}

void CmdProgram::Run::checkKeepBlocks() {
    for (const KeepBlock& b : cmd_.keepBlocks_) {
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
        BlockTransfer xfer(engine(), reply_);
        const auto n = static_cast<std::uint32_t>(cmd_.keepBlocks_.size());
        std::uint32_t i = 0;
        for (const KeepBlock& b : cmd_.keepBlocks_) {
            if (!ok())
                break;
            if (b.kind == kUserVoice) {
                userVoice_ = b;
            } else {
                auto& buffer = saved_[b.kind];
                buffer.assign(static_cast<std::size_t>(b.length), 0);
                if (!xfer.readMemory(static_cast<std::uint32_t>(b.address), buffer)) {
                    raiseError(ErrorCategory::Update, "Error:failed to read blok [%s].",
                               blockKindName(b.kind));
                    fail();
                }
            }
            cmd_.reportUnit(++i, n, w);
        }
    }
    cmd_.progress.advance(w);
}

void CmdProgram::Run::readUserVoice() {
    std::uint32_t w = weight(1);
    if (ok() && userVoice_) {
        if (cmd_.radioType_ == 2) {
            auto& buffer = saved_[kUserVoice];
            buffer.assign(static_cast<std::size_t>(userVoice_->length), 0);
            BlockTransfer xfer(engine(), reply_);
            if (!xfer.readFlash(static_cast<std::uint32_t>(userVoice_->address), buffer,
                                unitsOf(w))) {
                raiseError(ErrorCategory::Update, "Error:failed to read blok [%s].", "USERVOI");
                fail();
            }
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
    PersonalityBackup backup;
    const RadioInfo& radio = *cmd_.radio;
    backup.serialNumber = radio.serialNumber;
    backup.modelRecord = radio.modelRecord;
    backup.firmwareVersion = radio.firmwareVersion;
    backup.codeplugVersion = radio.codeplugVersion;
    backup.radioType = cmd_.radioType_;
    backup.createdAt = static_cast<std::int64_t>(std::time(nullptr));
    for (const KeepBlock& b : cmd_.keepBlocks_) {
        auto it = saved_.find(b.kind);
        if (it == saved_.end() || backup.record(b.kind) != nullptr)
            continue;
        backup.records.push_back({b.kind, static_cast<std::uint32_t>(b.address), it->second});
    }
    if (!writePersonalityBackup(cmd_.backupFolder, backup, backupPath_))
        fail();
}

void CmdProgram::Run::prepareFirmware() {
    const std::uint32_t w = weight(2);
    if (ok() && cmd_.updateFirmware) {
        stage(kStageFirmware);
        FtfImage image;
        if (!loadImage(cmd_.firmwareFile, image) || !cmd_.radio->flashFile().setImage(image.data))
            fail();
    }
    // Only the firmware area is erased before the image is written: a longer
    // image would be programmed over the default, voice and user areas.
    if (ok() && cmd_.updateFirmware && cmd_.radio->flashFile().data().size() > kFirmwareAreaEnd) {
        raiseError(ErrorCategory::Flash,
                   "Error:the firmware image of [%s] is longer than the firmware area (%u bytes).",
                   cmd_.firmwareFile, kFirmwareAreaEnd);
        fail();
    }
    if (ok() && cmd_.updateFirmware) {
        const std::uint16_t value = cmd_.radioType_ == 1   ? 0x1000
                                    : cmd_.radioType_ == 2 ? 0x3040
                                                           : 0x800;
        if (!protection(value))
            fail();
    }
    if (ok() && cmd_.updateFirmware) {
        BlockTransfer xfer(engine(), reply_);
        if (!xfer.eraseFirmwareArea(unitsOf(w)))
            fail();
    }
    cmd_.progress.advance(w);
}

void CmdProgram::Run::writeFirmware() {
    const std::uint32_t w = weight(3);
    if (ok() && cmd_.updateFirmware) {
        const std::vector<std::uint8_t>& image = cmd_.radio->flashFile().data();
        BlockTransfer xfer(engine(), reply_);
        // The first two bytes of the firmware area are written last: until
        // then the radio does not take the area for a valid image.
        if (image.size() > 2 && !xfer.writeFlash(2, std::span(image).subspan(2), unitsOf(w)))
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
    BlockTransfer xfer(engine(), reply_);
    if (cmd_.updateDefault) {
        stage(kStageDefault);
        FtfImage image;
        if (!loadImage(cmd_.defaultFile, image) || !addressMap().parseStream(image.data))
            fail();
    }
    if (ok() && cmd_.updateDefault && !xfer.erase(kEraseSector4K, layout(BlockKind::DEF)))
        fail();
    if (ok() && cmd_.updateDefault) {
        // The whole window is written, also the bytes no record covered.
        const CpgBlock& def = addressMap().block(BlockKind::DEF);
        if (def.data.size() < def.size ||
            !xfer.writeFlash(layout(BlockKind::DEF), std::span(def.data).first(def.size),
                             unitsOf(w)))
            fail();
    }
    if (ok() && !xfer.erase(kEraseBlock64K, layout(BlockKind::DYN)))
        fail();
    cmd_.progress.advance(w);
}

void CmdProgram::Run::prepareVoice() {
    const std::uint32_t w = weight(5);
    if (ok() && cmd_.updateVoice) {
        stage(kStageVoice);
        FtfImage image;
        if (!loadImage(cmd_.voiceFile, image) || !addressMap().parseStream(image.data))
            fail();
    }
    if (ok() && cmd_.updateVoice) {
        const CpgBlock& voi = addressMap().block(BlockKind::VOI);
        BlockTransfer xfer(engine(), reply_);
        if (!xfer.eraseVoiceArea(layout(BlockKind::VOI), chunkCount(voi.size, kBlock64K),
                                 unitsOf(w)))
            fail();
    }
    cmd_.progress.advance(w);
}

void CmdProgram::Run::writeVoice() {
    const std::uint32_t w = weight(6);
    if (ok() && cmd_.updateVoice) {
        const CpgBlock& voi = addressMap().block(BlockKind::VOI);
        BlockTransfer xfer(engine(), reply_);
        if (voi.data.size() < voi.size ||
            !xfer.writeFlash(layout(BlockKind::VOI), std::span(voi.data).first(voi.size),
                             unitsOf(w)))
            fail();
    }
    cmd_.progress.advance(w);
}

void CmdProgram::Run::finalizeFlashing() {
    stage(kStageFinalize);
    cmd_.statusWord_ = 0;
    // The line rate goes back whatever happened before.
    if (cmd_.radio == nullptr || !lineRate(kHomeRate, 1))
        fail();
    if (ok() && (cmd_.updateFirmware || cmd_.updateDefault)) {
        std::fill(reply_.begin(), reply_.end(), 0);
        int r = 0;
        if (!status(1, r) || r < 2) {
            fail();
        } else {
            cmd_.statusWord_ = static_cast<std::uint16_t>(reply_[0] << 8 | reply_[1]);
            if (cmd_.statusWord_ & 0x0280)
                fail();
        }
    }
    if (ok() && (cmd_.updateDefault || cmd_.keepUserInfo)) {
        std::this_thread::sleep_for(cmd_.pauses.settle);
        if (!testMode(1))
            fail();
    }
    if (ok() && cmd_.updateDefault) {
        if (!softport(0x2E, 0))
            fail();
        if (ok() && !(cmd_.statusWord_ & 0x0040) && !softport(0x27, 0))
            fail();
    }
}

void CmdProgram::Run::restoreUserInfo() {
    const std::uint32_t w = weight(7);
    if (ok() && cmd_.keepUserInfo) {
        stage(kStageRestore);
        BlockTransfer xfer(engine(), reply_);
        const auto n = static_cast<std::uint32_t>(cmd_.keepBlocks_.size());
        std::uint32_t i = 0;
        for (const KeepBlock& b : cmd_.keepBlocks_) {
            if (!ok())
                break;
            auto it = saved_.find(b.kind);
            if (isMemoryKind(b.kind) && it != saved_.end()) {
                if (!xfer.writeMemory(static_cast<std::uint32_t>(b.address), it->second)) {
                    raiseError(ErrorCategory::Update, "Error:failed to write block [%s]",
                               blockKindName(b.kind));
                    fail();
                }
                saved_.erase(it);
            }
            cmd_.reportUnit(++i, n, w);
        }
    }
    cmd_.progress.advance(w);
}

void CmdProgram::Run::restoreUserVoice() {
    const std::uint32_t w = weight(8);
    auto it = saved_.find(kUserVoice);
    if (ok() && cmd_.keepUserInfo && userVoice_ && it != saved_.end()) {
        if (!requests::writeUserVoice(engine(), reply_,
                                      static_cast<std::uint32_t>(userVoice_->address), it->second,
                                      unitsOf(w)))
            fail();
        saved_.erase(it);
    }
    cmd_.progress.advance(w);
}

void CmdProgram::Run::finish() {
    if (ok() && cmd_.keepUserInfo && !softport(0x1F, 0x0A))
        fail();
    if (ok()) {
        if (!protection(requests::lockValue(cmd_.radioType_)))
            fail();
    }
    // The closing status requests go out also after a failure (they fail at
    // once without reaching the radio when the port is closed).
    int r = 0;
    if (cmd_.radio == nullptr || !status(0, r))
        fail();
    if (cmd_.radio == nullptr || !status(1, r))
        fail();

    cmd_.progress.base = static_cast<std::int32_t>(static_cast<std::uint32_t>(cmd_.progress.total) +
                                                   static_cast<std::uint32_t>(startBase_));
    cmd_.sendProgress(static_cast<std::uint32_t>(cmd_.progress.base));
    std::this_thread::sleep_for(cmd_.pauses.finalPosition);
    cmd_.sendProgress(0);
    cmd_.postEnd();

    saved_.clear();
    cmd_.updateFirmware = false;
    cmd_.updateDefault = false;
    cmd_.updateVoice = false;
    cmd_.progress.clearSteps();

    if (!backupPath_.empty()) {
        if (ok()) {
            ::unlink(backupPath_.c_str());
        } else {
            cmd_.backupPath_ = backupPath_;
            raiseError(ErrorCategory::Update, "Error:the radio's personality is saved in [%s].",
                       backupPath_);
        }
    }
    if (!ok())
        raiseErrorText(ErrorCategory::Update, cmd_.stageText_);
}

bool CmdProgram::run() {
    Run run(*this);
    return run.execute();
}

}  // namespace vkt
