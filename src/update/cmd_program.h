// CmdProgram: updates the connected radio from the update package. It writes
// the firmware image, the default codeplug block and the voice-prompt block
// as the owner chose, and carries the radio's personality (dynamic data,
// channels, frequencies, user-defined voice) across the update.
//
// The run is a preparation, nine numbered steps (0..8) and a finalisation.
// The first failure ends the healthy part; the closing requests (line rate
// back to 16406, status requests 0 and 1) are still sent. Before the first
// erase of a run that keeps the personality, the blocks read from the radio
// are written to a personality backup file (update/personality_backup.h);
// a successful run removes it, a failed run keeps it and names it on the
// error stack.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "update/command.h"

namespace vkt {

class RadioInfo;

// One block of the personality: kind (BlockKind: DYN, CH, FRE or USERVOI),
// address (radio memory for DYN, CH and FRE; flash for USERVOI) and length.
struct KeepBlock {
    std::int32_t kind = 0;
    std::int32_t address = 0;
    std::int32_t length = 0;
    bool operator==(const KeepBlock&) const = default;
};

class CmdProgram : public Command {
  public:
    CmdProgram() = default;

    // Owner-side configuration, set before each run.
    RadioInfo* radio = nullptr;  // not owned
    std::string defaultFile;     // FTF with the default codeplug block
    std::string firmwareFile;    // FTF with the firmware image
    std::string voiceFile;       // FTF with the voice-prompt block
    std::string addressFile;     // FTF with the address-map text
    bool updateFirmware = false;
    bool updateDefault = false;  // the owner also enables step 4 (or calls enableDefault)
    bool updateVoice = false;
    bool keepUserInfo = true;
    // Folder of the personality backup files; must be set when keepUserInfo
    // is and the keep list is not empty.
    std::string backupFolder;
    // Pauses the radio needs: before the test-mode request that follows a
    // flash update, and between the final progress position and the reset.
    struct Pauses {
        std::chrono::milliseconds settle{200};
        std::chrono::milliseconds finalPosition{100};
    } pauses;

    // Sets updateFirmware and enables steps 2 and 3.
    void enableFirmware();
    // Sets updateDefault and enables step 4.
    void enableDefault();
    // Sets updateVoice and enables steps 5 and 6.
    void enableVoice();
    // Enables steps 0 and 7.
    void enableKeepUserInfo();
    // Replaces the keep list; a USERVOI block enables steps 1 and 8.
    void setKeepBlocks(std::vector<KeepBlock> blocks);
    const std::vector<KeepBlock>& keepBlocks() const { return keepBlocks_; }

    bool run() override;

    // What the last run found and did.
    std::uint8_t radioType() const { return radioType_; }
    std::uint16_t statusWord() const { return statusWord_; }
    const std::string& stageText() const { return stageText_; }
    // The backup file a failed run left behind; empty after a successful run
    // or when none was written.
    const std::string& backupPath() const { return backupPath_; }

  private:
    class Run;
    friend class Run;

    std::vector<KeepBlock> keepBlocks_;
    std::uint8_t radioType_ = 0;
    std::uint16_t statusWord_ = 0;
    std::string stageText_ = "Upate";
    std::string backupPath_;
};

}  // namespace vkt
