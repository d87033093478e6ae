// CmdProgram: updates the connected radio from the update package. It writes
// the firmware image, the default codeplug block and the voice-prompt block
// as the owner chose, and carries the radio's personality (dynamic data,
// channels, frequencies, user-defined voice) across the update.
//
// The run is a preparation, the steps of the flash work (progress.h's Step
// names those that move the progress bar) and a finalisation. The first
// failure ends the healthy part; the closing requests (line rate back to
// 16406, status requests 0 and 1) are still sent, whatever ended the run (a
// failed request, a stop request, an exception). Before the first
// erase of a run that keeps the personality, the blocks read from the radio
// are written to a personality backup file (update/personality_backup.h);
// the file stays when the run ends. A run that fails after its first erase
// names it on the error stack; one that fails before removes it (the radio
// still holds the personality). The memory windows written back are read
// again and compared with the backup; a difference fails the run. On request
// the flash areas the run wrote are read back and compared with the package.
//
// An update journal (update/run_journal.h), when one is set, hears when the
// backup is on disk and when the first erase is about to go out; a journal
// that cannot record either stops the run before anything is erased.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "update/command.h"
#include "update/flash_verify.h"
#include "update/personality_backup.h"

namespace vkt {

class RadioInfo;
class RunJournal;

// One block of the personality: kind (BlockKind: DYN, CH, FRE or USERVOI),
// address (radio memory for DYN, CH and FRE; flash for USERVOI) and length.
struct KeepBlock {
    std::int32_t kind = 0;
    std::int32_t address = 0;
    std::int32_t length = 0;
    bool operator==(const KeepBlock&) const = default;
};

// A personality to write back instead of the radio's own: the backup an
// earlier run made before it broke off after its first erase, when the
// radio's windows hold nothing worth keeping. Its records replace the keep
// list (the personality must be kept), nothing is read from the radio and
// no new backup file is written; `file` is named on failure.
struct PersonalityWriteBack {
    std::string file;
    PersonalityBackup backup;
};

// What one programming run writes and keeps. An image is written when its
// file is named; the progress steps of the run follow from the request.
struct ProgramRequest {
    std::string addressFile;                  // FTF with the address-map text
    std::optional<std::string> firmwareFile;  // FTF with the firmware image
    std::optional<std::string> defaultFile;   // FTF with the default codeplug block
    std::optional<std::string> voiceFile;     // FTF with the voice-prompt block
    // Read the written flash areas back before the closing requests and
    // fail (FLASH) when they differ from the package.
    bool verifyFlash = false;
    // Whether the personality is read before the first erase and written
    // back after the flash work.
    bool keepUserInfo = true;
    // The blocks kept; they are checked against the address map also when
    // the personality is not kept.
    std::vector<KeepBlock> keepBlocks;
    // Folder of the personality backup files (each radio's files go into a
    // folder named after its serial number); must be set when the
    // personality is kept and the keep list is not empty.
    std::string backupFolder;
    std::optional<PersonalityWriteBack> writeBack;
};

class CmdProgram : public Command {
  public:
    CmdProgram() = default;

    // Owner-side wiring, set before each run.
    RadioInfo* radio = nullptr;  // not owned
    // Hears of the backup and the first erase; not owned, may be null.
    RunJournal* journal = nullptr;
    // Pauses the radio needs: before the test-mode request that follows a
    // flash update, and between the final progress position and the reset.
    struct Pauses {
        std::chrono::milliseconds settle{200};
        std::chrono::milliseconds finalPosition{100};
    } pauses;

    // What the next run writes and keeps. A run ends by dropping the
    // request's images and its read-back; the rest stays until replaced.
    void setRequest(ProgramRequest request) { request_ = std::move(request); }
    const ProgramRequest& request() const { return request_; }
    // The keep list that writes `backup` back: one block per record. A run
    // with a write-back uses it; the owner sets it too, for the progress.
    static std::vector<KeepBlock> keepBlocksOf(const PersonalityBackup& backup);

    bool run() override;

    // Asks the run to stop at its next request boundary; the closing
    // requests are still sent. Any thread may call it. It holds until
    // resetStop(), which the owner calls before it starts a run.
    void requestStop() { stopRequested_.store(true); }
    void resetStop() { stopRequested_.store(false); }
    // Whether the current (or last) run has reached its first erase: from
    // then on a stop leaves a half-written radio.
    bool eraseStarted() const { return eraseStarted_.load(); }
    // Whether the last run ended because a stop was asked for.
    bool stopped() const { return stopped_; }

    // What the last run found and did.
    std::uint8_t radioType() const { return radioType_; }
    std::uint16_t statusWord() const { return statusWord_; }
    const std::string& stageText() const { return stageText_; }
    // What reading the written areas back found (empty when not asked for
    // or not reached), with the time it took.
    const VerifyReport& verifyReport() const { return verifyReport_; }
    // The personality backup of the last run (the file it wrote, or the
    // write-back file it was given); empty when it had none, and after a run
    // that failed before its first erase.
    const std::string& backupPath() const { return backupPath_; }

  private:
    class Run;
    friend class Run;

    ProgramRequest request_;
    std::uint8_t radioType_ = 0;
    std::uint16_t statusWord_ = 0;
    std::string stageText_ = "Upate";
    std::string backupPath_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> eraseStarted_{false};
    bool stopped_ = false;
    VerifyReport verifyReport_;
};

}  // namespace vkt
