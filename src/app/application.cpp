#include "app/application.h"

#include "app/front_end.h"
#include "app/strings.h"
#include "core/app_paths.h"
#include "core/error_log.h"
#include "core/error_stack.h"

namespace vkt {

namespace {

constexpr std::size_t kMaxTitleChars = 259;

StartupResult failure(std::string logLine, int messageId = 0, int style = 0) {
    ErrorLog::instance().writeLog("%s", logLine);
    StartupResult result;
    result.messageId = messageId;
    result.style = style;
    result.logLine = std::move(logLine);
    return result;
}

}  // namespace

Application::Application() : title_(composeTitle()) {}

Application::~Application() {
    shutdown();
}

std::string Application::composeTitle() {
    return truncateUtf8(loadString(str::kTitleRegion) + " " + loadString(str::kTitleTool),
                        kMaxTitleChars);
}

std::string Application::backupFolder() const {
    return dataDir_ + "/backup";
}

StartupResult Application::start(const StartupOptions& options) {
    StartupResult result;
    if (!prepareEnvironment(options, result) || !loadPackage(result))
        return result;
    // The language list and the language in use are chosen by the front end
    // (the desktop's translator); nothing to load here yet.
    result.ok = true;
    return result;
}

bool Application::prepareEnvironment(const StartupOptions& options, StartupResult& result) {
    title_ = composeTitle();
    packageDir_ = options.packageDir.empty() ? defaultPackageDir() : options.packageDir;
    dataDir_ = options.dataDir;
    if (dataDir_.empty()) {
        // The log has no folder yet, so this line is lost like the original
        // platform's: it only documents the reason in the result.
        result = failure(
            "Error:Failed to retrieve the common application data path due to the error "
            "[no data folder is configured].");
        return false;
    }
    ErrorLog::instance().setLogFolder(dataDir_);

    queue_ = options.queue ? options.queue : MessageQueue::current();
    bool ready = queue_ != nullptr && options.driver != nullptr;
    if (ready)
        ready = task_.createWindow(queue_) != 0;
    if (ready) {
        radioManager_ = std::make_unique<RadioManager>(options.driver, options.pollPeriod);
        ready = radioManager_->createWindow(queue_) != 0;
    }
    if (ready)
        ready = document_.createConfigDocument();
    if (!ready) {
        removeErrors(0);
        result = failure("Error:failed to initialize component.");
        return false;
    }
    return true;
}

bool Application::loadPackage(StartupResult& result) {
    if (!config_.loadPackageConfig(configPath(packageDir_), setupPath(dataDir_))) {
        std::string first = firstErrorText();
        removeErrors(0);
        result = failure(first, str::kReinstall, kStyleError);
        return false;
    }
    if (!isToolRegion(config_.regionName)) {
        result =
            failure(fmt::sprintf(kWrongRegionFormat, kToolRegion), str::kReinstall, kStyleError);
        return false;
    }
    return true;
}

void Application::shutdown() {
    document_.releaseConfigDocument();
    if (radioManager_)
        radioManager_->stop();
}

}  // namespace vkt
