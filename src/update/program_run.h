// One run of CmdProgram: the state that lives only while it runs, and its
// steps. cmd_program.cpp holds the run's frame and the flash work;
// program_personality.cpp reads, saves and writes back the personality.
// Private to the update layer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/error_stack.h"
#include "link/radio_info.h"
#include "link/sbep.h"
#include "update/cmd_program.h"
#include "update/radio_requests.h"
#include "update/radio_traits.h"
#include "update/time_left.h"
#include "update/transfer.h"

namespace vkt {

class CmdProgram::Run {
  public:
    explicit Run(CmdProgram& cmd) : cmd_(cmd), reply_(sbep::kReceiveBufferSize, 0) {}

    bool execute();

  private:
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

    // A piece of the run; false when it failed (having pushed its message,
    // if it has one).
    using Action = bool (Run::*)();
    // An action, and the progress step it moves the bar through (none for
    // the actions that do not move it).
    struct Stage {
        Action action;
        std::optional<Step> step;
    };

    static constexpr std::int32_t kUserVoice = static_cast<std::int32_t>(BlockKind::USERVOI);

    // Runs the stages in order; a failure, or a stop asked for between two
    // stages, ends the sequence. The bar moves past each stage that passed.
    void runWhileHealthy(std::initializer_list<Stage> stages);
    // Runs an action whatever happened before it; a failure fails the run.
    void runAlways(Action action);
    // Runs an action; an exception (out of memory, a cable back-end that
    // throws) fails it like a failed request, with a message of its own.
    bool guarded(Action action) noexcept;

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
    bool writesFirmware() const { return cmd_.request_.firmwareFile.has_value(); }
    bool writesDefault() const { return cmd_.request_.defaultFile.has_value(); }
    bool writesVoice() const { return cmd_.request_.voiceFile.has_value(); }
    // The progress steps of the request.
    void enableSteps();
    const RadioTraits& traits() const { return radioTraits(cmd_.radioType_); }
    std::uint32_t layout(BlockKind kind) const { return flashLayout(cmd_.radioType_, kind); }
    double elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    // Reports unit k of n of a part of the current step.
    void unit(Part part, std::uint32_t k, std::uint32_t n) {
        cmd_.setProgressNote({phase_, estimate_.secondsLeft(part, k, n, elapsed())});
        cmd_.reportUnit(k, n, weight_);
    }
    UnitProgress unitsOf(Part part) {
        return [this, part](std::uint32_t k, std::uint32_t n) { unit(part, k, n); };
    }
    // The run starts a phase with `part`: the owner hears of it at once, at
    // the position the step starts at.
    void enter(UpdatePhase phase, Part part);
    // What each part will move and erase, as far as it is known once the
    // address map is loaded.
    void planTime();
    BlockTransfer transfer() {
        BlockTransfer xfer(engine(), reply_);
        xfer.setStop(&cmd_.stopRequested_);
        return xfer;
    }
    // Visits the keep list in order while the run is healthy, reporting
    // block i of n of `part` after each (also after one that failed).
    void eachKeepBlock(Part part, const std::function<void(const KeepBlock&)>& visit);

    bool lineRate(std::uint32_t rate, std::uint8_t flag) {
        const bool switched = requests::lineRate(engine(), rate, flag, reply_);
        // A switch to 240000 that went wrong may have taken effect on one
        // side only.
        if (rate == kFastLineRate && !switched)
            lineUncertain_ = true;
        return switched;
    }
    bool protection(std::uint16_t value) { return requests::protection(engine(), value, reply_); }
    bool status(std::uint8_t selector, int& result) {
        return requests::status(engine(), selector, reply_, result);
    }
    // A request the radio did not answer fails; one it answered with
    // another opcode fails the run at its end.
    bool answered(requests::Answer answer) {
        if (answer == requests::Answer::Unexpected)
            failLater();
        return answer != requests::Answer::None;
    }

    // The flash work, at the work line rate.
    bool prepare();
    bool checkKeepBlocks();
    bool readUserInfo();
    bool readUserVoice();
    bool saveBackup();
    bool prepareFirmware();
    bool writeFirmware();
    bool openBlocks();
    bool writeDefault();
    bool prepareVoice();
    bool writeVoice();
    bool verifyWritten();
    // Back at the radio's own line rate, whatever happened.
    bool leaveWorkRate();
    // The radio takes what was written and gets its personality back.
    bool checkStatus();
    bool commitDefault();
    bool restoreUserInfo();
    bool restoreUserVoice();
    bool checkUserInfo();
    bool lockFlash();
    // The closing requests and the end of the run, whatever happened.
    bool closeRadio();
    bool report();

    CmdProgram& cmd_;
    std::vector<std::uint8_t> reply_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    RunTimeEstimate estimate_;
    UpdatePhase phase_ = UpdatePhase::None;
    std::int32_t startBase_ = 0;
    // The bar span of the step running now.
    std::uint32_t weight_ = 0;
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

}  // namespace vkt
