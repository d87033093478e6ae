// A simulated radio on a virtual cable, an update package built for it in a
// temporary folder, and a way to run commands through the Task the way the
// application does. Free of the test framework, so that the fault campaign
// (a program of its own) shares it with the tests.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "core/error_stack.h"
#include "core/event.h"
#include "link/radio_info.h"
#include "link/usb_serial.h"
#include "package/cpg.h"
#include "package/ftf_file.h"
#include "sim/sim_radio.h"
#include "sim/virtual_cable.h"
#include "tests/core/message_recorder.h"
#include "update/cmd_program.h"
#include "update/cmd_sn.h"
#include "update/personality_backup.h"
#include "update/radio_traits.h"

namespace vkt::testing {

using Bytes = std::vector<std::uint8_t>;
using sim::RequestLogEntry;

inline constexpr std::uint32_t kDynAddress = 0x820000;
inline constexpr std::uint32_t kChAddress = 0x821000;
inline constexpr std::uint32_t kFreAddress = 0x822000;
inline constexpr std::uint32_t kWindowSize = 0x1000;
inline constexpr std::uint32_t kDefAddress = 0x826000;
inline constexpr std::uint32_t kVoiAddress = 0x830000;
inline constexpr std::uint32_t kVoiSize = 0x8000;
inline constexpr std::int32_t kUserVoiceLength = 0xD800;
// The address map of the bench's packages: the windows above, in the
// address file's text.
inline constexpr const char* kAddressMapText =
    "DYN_START ADDRESS = 820000 BSIZE = 1000\n"
    "CH_INFO_START ADDRESS = 821000 BSIZE = 1000\n"
    "FREQ_START ADDRESS = 822000 BSIZE = 1000\n"
    "DEF_FREQ ADDRESS = 826000 BSIZE = 1000\n"
    "VOICE ADDRESS = 830000 BSIZE = 8000\n";

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vkt-update-XXXXXX").string();
        path = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

// Recognisable bytes that differ with the seed.
inline Bytes pattern(std::size_t n, std::uint32_t seed) {
    Bytes out(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return out;
}

// S3 records covering `data` from `address` on, and an S7 end record.
inline std::string srecText(std::uint32_t address, const Bytes& data) {
    auto record = [](char kind, std::uint32_t a, const std::uint8_t* bytes, std::size_t n) {
        Bytes body{static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16),
                   static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)};
        body.insert(body.end(), bytes, bytes + n);
        const auto count = static_cast<std::uint8_t>(body.size() + 1);
        unsigned sum = count;
        std::string line = fmt::format("S{}{:02X}", kind, count);
        for (std::uint8_t b : body) {
            line += fmt::format("{:02X}", b);
            sum += b;
        }
        return line + fmt::format("{:02X}\n", static_cast<std::uint8_t>(~sum));
    };
    std::string text;
    for (std::size_t off = 0; off < data.size(); off += 32)
        text += record('3', address + static_cast<std::uint32_t>(off), data.data() + off,
                       std::min<std::size_t>(32, data.size() - off));
    return text + record('7', address, nullptr, 0);
}

// A firmware image the firmware check accepts whole: marker, a value, a
// table, `sections` sections of 0x2000 bytes, a 2-byte filler.
inline Bytes firmwareImage(int sections = 7) {
    Bytes out{0x09,
              0xAA,
              0x01,
              0x02,
              0x00,
              0x04,
              static_cast<std::uint8_t>(sections >> 8),
              static_cast<std::uint8_t>(sections)};
    for (int i = 0; i < sections; ++i) {
        const std::uint32_t entry = 0x10000 + i * 0x2002;
        for (int s = 24; s >= 0; s -= 8)
            out.push_back(static_cast<std::uint8_t>(entry >> s));
    }
    for (int i = 0; i < sections; ++i) {
        out.push_back(0x0F);
        out.push_back(0xFE);
        const Bytes data = pattern(0x2000, 100 + i);
        out.insert(out.end(), data.begin(), data.end());
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

// False with `error` set when the file cannot be built or written.
inline bool writeFtf(const std::string& path, std::int32_t type, const std::string& name,
                     const Bytes& image, std::string& error) {
    FtfSource source;
    source.type = type;
    source.internalName = name;
    source.version = {'R', 1, 2, 4};
    source.codeplugVersion = {'R', 1, 2, 4};
    source.modelNumber = type == 0 ? "VK2150EMA01" : "";
    source.regionName = type == 3 ? "EMEA" : "";
    source.image = image;
    Bytes file;
    if (!buildFtfFile(source, file, error))
        return false;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        error = "cannot create " + path;
        return false;
    }
    const bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    if (std::fclose(f) != 0 || !written) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

inline Bytes textBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// What an update must carry across: the three memory windows and the
// user-defined voice in flash.
struct Personality {
    Bytes dyn, ch, fre, userVoice;
    bool operator==(const Personality&) const = default;
};

// Says which parts differ instead of dumping the bytes.
inline void PrintTo(const Personality& p, std::ostream* os) {
    auto sum = [](const Bytes& b) {
        std::uint32_t s = 0;
        for (std::uint8_t x : b)
            s = s * 31 + x;
        return s;
    };
    *os << fmt::format("{{DYN {:08x}, CH {:08x}, FRE {:08x}, USERVOI {:08x} ({} bytes)}}",
                       sum(p.dyn), sum(p.ch), sum(p.fre), sum(p.userVoice), p.userVoice.size());
}

// Gives a radio a personality of its own: DYN, CH and FRE windows and, on
// type 2, the user-defined voice.
inline void loadPersonality(sim::SimRadio& radio, std::uint32_t userVoiceAddress) {
    radio.loadMemory(kDynAddress, pattern(kWindowSize, 1));
    radio.loadMemory(kChAddress, pattern(kWindowSize, 2));
    radio.loadMemory(kFreAddress, pattern(kWindowSize, 3));
    if (radio.radioType() == 2)
        radio.loadFlash(userVoiceAddress, pattern(kUserVoiceLength, 4));
}

// The personality a radio holds now (the user-defined voice on type 2 only).
inline Personality personalityOf(const sim::SimRadio& radio, std::uint32_t userVoiceAddress) {
    Personality p{radio.memory(kDynAddress, kWindowSize),
                  radio.memory(kChAddress, kWindowSize),
                  radio.memory(kFreAddress, kWindowSize),
                  {}};
    if (radio.radioType() == 2)
        p.userVoice = radio.flash(userVoiceAddress, kUserVoiceLength);
    return p;
}

// `ready` says whether the package was written and the Task's window made.
class UpdateBench {
  public:
    explicit UpdateBench(int radioType) {
        sim::RadioConfig config;
        config.radioType = radioType;
        config.serialNumber = "471ABC0042";
        sim = std::make_shared<sim::SimRadio>(config);
        userVoiceAddress = flashLayout(radioType, BlockKind::USERVOI);
        loadPersonality(*sim, userVoiceAddress);
        before = personality();
        attach();

        firmware = firmwareImage();
        defaultBlock = pattern(kWindowSize, 5);
        voice = pattern(kVoiSize, 6);
        addressFile = dir.path + "/address.ftf";
        firmwareFile = dir.path + "/firmware.ftf";
        defaultFile = dir.path + "/default.ftf";
        voiceFile = dir.path + "/voice.ftf";
        backupFolder = dir.path + "/backup";
        ready =
            writeFtf(addressFile, 2, "ADDR", textBytes(kAddressMapText), setupError) &&
            writeFtf(firmwareFile, 3, "FW", firmware, setupError) &&
            writeFtf(defaultFile, 0, "DEF", textBytes(srecText(kDefAddress, defaultBlock)),
                     setupError) &&
            writeFtf(voiceFile, 1, "VOICE", textBytes(srecText(kVoiAddress, voice)), setupError);

        removeErrors(0);
        if (task.createWindow() == 0) {
            ready = false;
            setupError = "the Task's window cannot be created";
        }
        ownerWindow = createWindow(&owner, &loop);
    }
    virtual ~UpdateBench() {
        destroyWindow(ownerWindow);
        removeErrors(0);
    }

    // A new cable and radio record for the simulated radio.
    void attach() {
        driver = std::make_shared<sim::VirtualCableDriver>(sim);
        radio = std::make_unique<RadioInfo>(driver);
    }
    bool connect() { return radio->openPort(0) && radio->readIdentity(); }

    // The cable is plugged back in and the radio switched off and on: it
    // reports what a real one would (the firmware it adopted, the codeplug
    // it committed), at rest at 16406. Injected faults are gone.
    void powerCycle() {
        radio.reset();
        sim->setFaults({});
        sim->replug();
        sim->powerCycle();
        attach();
    }

    std::vector<KeepBlock> keepList() const {
        return {{0, static_cast<std::int32_t>(kDynAddress), static_cast<std::int32_t>(kWindowSize)},
                {6, static_cast<std::int32_t>(kChAddress), static_cast<std::int32_t>(kWindowSize)},
                {7, static_cast<std::int32_t>(kFreAddress), static_cast<std::int32_t>(kWindowSize)},
                {9, static_cast<std::int32_t>(userVoiceAddress), kUserVoiceLength}};
    }

    // The bench's radio and no pauses; a request that writes nothing and
    // has no keep list.
    void configureFiles(CmdProgram& cmd) const {
        cmd.radio = radio.get();
        cmd.pauses = {std::chrono::milliseconds(0), std::chrono::milliseconds(0)};
        ProgramRequest request;
        request.addressFile = addressFile;
        request.backupFolder = backupFolder;
        cmd.setRequest(std::move(request));
    }

    // Every step: firmware, default, voice, and the whole personality kept.
    void configureFull(CmdProgram& cmd) const {
        configureFiles(cmd);
        changeRequest(cmd, [this](ProgramRequest& r) {
            r.firmwareFile = firmwareFile;
            r.defaultFile = defaultFile;
            r.voiceFile = voiceFile;
            r.keepUserInfo = true;
            r.keepBlocks = keepList();
        });
    }

    // Changes what the command's next run writes and keeps.
    static void changeRequest(CmdProgram& cmd, const std::function<void(ProgramRequest&)>& edit) {
        ProgramRequest request = cmd.request();
        edit(request);
        cmd.setRequest(std::move(request));
    }

    Personality personality() const { return personalityOf(*sim, userVoiceAddress); }

    // Runs the command on the Task's worker with this bench's window as its
    // owner, as the application does. `finished` tells whether the batch
    // ended within `bound`; the result is the command's.
    bool runCommandWithin(Command& cmd, std::chrono::milliseconds bound, bool& finished) {
        owner.got.clear();
        cmd.owner = ownerWindow;
        finished = runBatch({&cmd}, loop, task, bound);
        return cmd.ok;
    }
    virtual bool runCommand(Command& cmd) {
        bool finished = false;
        return runCommandWithin(cmd, std::chrono::seconds(60), finished) && finished;
    }

    std::vector<std::uintptr_t> progressPositions() const {
        std::vector<std::uintptr_t> out;
        for (const auto& m : owner.got)
            if (m.id == WM_CMD_PROGRESS)
                out.push_back(m.wParam);
        return out;
    }

    // Every file under the backup folder (each radio has a folder there).
    std::vector<std::string> backupFiles() const {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : std::filesystem::recursive_directory_iterator(backupFolder, ec))
            if (e.is_regular_file())
                out.push_back(e.path().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    bool hasError(const std::string& text) const {
        for (const auto& e : errorEntries())
            if (e.message == text)
                return true;
        return false;
    }

    TempDir dir;
    bool ready = false;
    std::string setupError;
    std::shared_ptr<sim::SimRadio> sim;
    std::shared_ptr<sim::VirtualCableDriver> driver;
    std::unique_ptr<RadioInfo> radio;
    std::uint32_t userVoiceAddress = 0;
    Personality before;
    Bytes firmware, defaultBlock, voice;
    std::string addressFile, firmwareFile, defaultFile, voiceFile, backupFolder;

    EventLoop loop;
    Task task;
    MessageRecorder owner;
    WindowHandle ownerWindow = 0;
};

// Writes the backup file `backupPath` back into the radio the way a dealer
// would after a failed update: the serial number first when the radio lost
// it (a committed default block resets it), then the personality. False with
// `error` set when a step fails.
inline bool restoreFromBackup(UpdateBench& b, const std::string& backupPath, std::string& error) {
    removeErrors(0);
    CmdRestorePersonality restore;
    restore.radio = b.radio.get();
    if (!readPersonalityBackup(backupPath, restore.backup)) {
        error = "backup unreadable: " + allErrorTexts();
        return false;
    }
    if (b.radio->serialNumber != restore.backup.serialNumber) {
        CmdSN sn;
        sn.radio = b.radio.get();
        sn.newSerialNumber = restore.backup.serialNumber;
        if (!b.runCommand(sn) || !b.radio->readIdentity()) {
            error = "serial number write failed: " + allErrorTexts();
            return false;
        }
    }
    if (!b.runCommand(restore)) {
        error = "restore failed: " + allErrorTexts();
        return false;
    }
    return true;
}

// Log predicates.
inline bool isFlash(const RequestLogEntry& e, int sub) {
    return e.opcode == 0x72 && e.subFunction == sub;
}
inline bool isErase(const RequestLogEntry& e) {
    return isFlash(e, 4) || isFlash(e, 6);
}
inline bool writesRadio(const RequestLogEntry& e) {
    return e.opcode == 0x17 || isErase(e) || isFlash(e, 1);
}
inline bool isSoftport(const RequestLogEntry& e, int function) {
    return e.opcode == 0x38 && e.subFunction == function;
}
inline bool isStatus(const RequestLogEntry& e, int selector) {
    return e.opcode == 0x10 && e.subFunction == selector;
}

}  // namespace vkt::testing
