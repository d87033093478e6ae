#include "app/cable_setup.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <system_error>

#include "core/app_paths.h"
#include "core/file_io.h"
#include "link/cable_backends.h"
#include "sim/radio_options.h"
#include "sim/sim_radio.h"
#include "sim/state_dump.h"
#include "sim/virtual_cable.h"

namespace vkt {

namespace fs = std::filesystem;

namespace {

void registerSimBackend() {
    static std::once_flag once;
    std::call_once(once, [] {
        registerCableBackend(
            "sim", [] { return std::make_shared<sim::VirtualCableDriver>(makeDemoRadio()); });
    });
}

// The simulated radio of this process and where it is kept.
struct Persisted {
    std::mutex mutex;
    std::shared_ptr<sim::SimRadio> radio;
    std::string path;
};

Persisted& persisted() {
    static Persisted p;
    return p;
}

std::shared_ptr<sim::SimRadio> loadSimulatedRadio(const std::string& path, std::string& error) {
    auto radio = makeDemoRadio();
    std::error_code ec;
    if (fs::exists(path, ec)) {
        std::vector<std::uint8_t> bytes;
        if (!readFile(path, bytes)) {
            error = "cannot read the simulated radio's state " + path;
            return nullptr;
        }
        if (!radio->loadState(bytes, error)) {
            error = path + ": " + error + " (delete it to start with a fresh radio)";
            return nullptr;
        }
    }
    if (const char* text = std::getenv("VKT_SIM_OPTIONS"); text && *text) {
        if (!sim::applyRadioOptionText(text, *radio, error)) {
            error = "VKT_SIM_OPTIONS: " + error;
            return nullptr;
        }
    }
    return radio;
}

}  // namespace

void readCableEnvironment(CableOptions& options) {
    if (const char* env = std::getenv("VKT_CABLE_BACKEND"))
        options.backend = env;
    if (const char* env = std::getenv("VKT_DATA_DIR"))
        options.dataDir = env;
    if (const char* env = std::getenv("VKT_TRACE"))
        options.trace = env;
}

std::shared_ptr<sim::SimRadio> makeDemoRadio() {
    sim::RadioConfig config;
    config.radioType = 2;
    config.serialNumber = "123ABC0001";
    sim::modelRecordFromText("VK2150EMA01", config.modelRecord);
    config.firmwareVersion = {'R', 1, 0x02, 0x03};
    config.codeplugVersion = {'R', 1, 2, 3};
    auto radio = std::make_shared<sim::SimRadio>(std::move(config));
    const auto pattern = [](const std::string& label, std::size_t length) {
        std::vector<std::uint8_t> bytes(length);
        for (std::size_t i = 0; i < length; ++i)
            bytes[i] = static_cast<std::uint8_t>(label[i % label.size()]);
        return bytes;
    };
    radio->loadMemory(0x820000, pattern("DEMO PERSONALITY 123ABC0001 ", 0x2800));
    radio->loadFlash(0x117000, pattern("DEMO USER VOICE 123ABC0001 ", 0x2000));
    return radio;
}

std::string effectivePackageDir(const CableOptions& options) {
    if (!options.packageDir.empty())
        return options.packageDir;
    const ShippedFiles files = shippedFiles();
    return options.simulate ? files.demoPackageDir : files.packageDir;
}

std::string effectiveDataDir(const CableOptions& options) {
    if (!options.dataDir.empty())
        return options.dataDir;
    return options.simulate ? defaultDataDir() + "/simulate" : defaultDataDir();
}

void setStartupFolders(const CableOptions& options, StartupOptions& startup) {
    const ShippedFiles files = shippedFiles();
    startup.packageDir = effectivePackageDir(options);
    startup.dataDir = effectiveDataDir(options);
    startup.setupTemplate = options.simulate ? files.demoSetupTemplate : files.setupTemplate;
    startup.createDataDir = options.dataDir.empty();
}

std::string simulatedRadioStatePath(const CableOptions& options) {
    return effectiveDataDir(options) + "/sim/radio.state";
}

std::shared_ptr<CableDriver> makeCableDriver(const CableOptions& options, std::string& error) {
    registerSimBackend();
    std::shared_ptr<CableDriver> driver;
    if (options.simulate) {
        const std::string path = simulatedRadioStatePath(options);
        Persisted& p = persisted();
        std::lock_guard lock(p.mutex);
        // A second driver in the same process shares the radio already
        // loaded, so no change made through the first one is lost.
        if (!p.radio || p.path != path) {
            auto radio = loadSimulatedRadio(path, error);
            if (!radio)
                return nullptr;
            p.radio = std::move(radio);
            p.path = path;
        }
        driver = std::make_shared<sim::VirtualCableDriver>(p.radio);
    } else {
        const std::string name =
            options.backend.empty() ? defaultCableBackendName() : options.backend;
        driver = createCableDriver(name, error);
        if (!driver)
            return nullptr;
    }
    if (!options.trace.empty()) {
        std::string traceError;
        driver = wrapWithTrace(driver, options.trace, traceError);
        if (!traceError.empty()) {
            error = traceError;
            return nullptr;
        }
    }
    return driver;
}

bool cableBackendKnown(const CableOptions& options) {
    if (options.simulate)
        return true;
    registerSimBackend();
    const std::string name = options.backend.empty() ? defaultCableBackendName() : options.backend;
    const auto names = cableBackendNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool saveSimulatedRadio(std::string& error) {
    Persisted& p = persisted();
    std::lock_guard lock(p.mutex);
    if (!p.radio)
        return true;
    const fs::path path(p.path);
    std::error_code ec;
    if (path.has_parent_path())
        fs::create_directories(path.parent_path(), ec);
    // An interrupted save never leaves half a radio behind.
    if (!writeFileAtomically(path.string(), p.radio->saveState())) {
        error = "cannot write the simulated radio's state " + path.string();
        return false;
    }
    return true;
}

SimulatedRadioSaver::~SimulatedRadioSaver() {
    std::string error;
    if (!saveSimulatedRadio(error))
        std::cerr << "vkt: " << error << "\n";
}

}  // namespace vkt
