// Start-up and shutdown of the tool, without any window: the title, the two
// folders, the error log, the Task's window, the cable monitor with its poll
// thread, the configuration store, the update package with the region rule.
// A front end constructs one Application on its user-interface thread (which
// must have a message queue), calls start(), shows the returned message when
// start-up failed, and otherwise drives a MainController over it.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "app/front_end.h"
#include "core/error_stack.h"
#include "core/event.h"
#include "link/cable_driver.h"
#include "link/radio_manager.h"
#include "package/config_document.h"
#include "package/package_config.h"

namespace vkt {

struct StartupOptions {
    std::string packageDir;  // folder of config.xml and the FTF files
    std::string dataDir;     // holds data/setup.dat and log/err.log
    // Copied to <dataDir>/data/setup.dat when nothing is there yet (a first
    // start); empty: no copy.
    std::string setupTemplate;
    // Whether a missing dataDir is created (the default folder on a first
    // start) or makes the start fail.
    bool createDataDir = false;
    std::shared_ptr<CableDriver> driver;  // the cable back-end; owned by the RadioManager
    std::chrono::milliseconds pollPeriod{1000};
    MessageQueue* queue = nullptr;  // the user-interface queue (the calling thread's when null)
};

// How a start-up ended. A failed start-up shows messageId with `style` when
// messageId is not 0, and otherwise nothing (the reason is in the error log).
struct StartupResult {
    bool ok = false;
    int messageId = 0;
    MessageStyle style = MessageStyle::None;
    std::string logLine;  // what was written to the error log (empty: nothing)
    // The error category of the failure (the first error-stack entry's when
    // the stack held the reason).
    ErrorCategory category = ErrorCategory::Ok;
};

class Application {
  public:
    Application();
    ~Application();  // shutdown()
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    StartupResult start(const StartupOptions& options);
    // Stops and joins the cable poll thread, releases the XML document.
    // Idempotent.
    void shutdown();

    // String 125, a space, string 134, cut to 259 characters.
    static std::string composeTitle();
    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }

    const std::string& packageDir() const { return packageDir_; }
    const std::string& dataDir() const { return dataDir_; }
    // <data dir>/backup: the radios' personality backups, one folder per
    // serial number.
    std::string backupFolder() const;
    // <data dir>/update-journal.db: the update journal.
    std::string journalPath() const;

    Task& task() { return task_; }
    RadioManager& radioManager() { return *radioManager_; }
    bool hasRadioManager() const { return radioManager_ != nullptr; }
    ConfigDocument& configDocument() { return document_; }
    PackageConfig& config() { return config_; }
    MessageQueue* queue() const { return queue_; }

  private:
    bool prepareEnvironment(const StartupOptions& options, StartupResult& result);
    bool loadPackage(StartupResult& result);
    void provideSetupFile(const std::string& templatePath);

    std::string title_;
    std::string packageDir_;
    std::string dataDir_;
    MessageQueue* queue_ = nullptr;
    Task task_;
    ConfigDocument document_;
    PackageConfig config_{document_};
    std::unique_ptr<RadioManager> radioManager_;
};

}  // namespace vkt
