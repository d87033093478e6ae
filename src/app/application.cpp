#include "app/application.h"

#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "app/front_end.h"
#include "app/strings.h"
#include "app/update_journal.h"
#include "core/app_paths.h"
#include "core/error_log.h"
#include "core/error_stack.h"
#include "core/file_io.h"
#include "package/config_document.h"

namespace vkt {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxTitleChars = 259;

StartupResult failure(ErrorCategory category, std::string logLine, int messageId = 0,
                      MessageStyle style = MessageStyle::None) {
    ErrorLog::instance().writeLog("%s", logLine);
    StartupResult result;
    result.messageId = messageId;
    result.style = style;
    result.logLine = std::move(logLine);
    result.category = category;
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

std::string Application::journalPath() const {
    return updateJournalPath(dataDir_);
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
        result =
            failure(ErrorCategory::File,
                    "Error:Failed to retrieve the common application data path due to the error "
                    "[no data folder is configured].");
        return false;
    }
    if (options.createDataDir) {
        // The default data folder is made on a first start; when that fails,
        // loading the setup file reports it.
        std::error_code ec;
        fs::create_directories(dataDir_, ec);
    }
    ErrorLog::instance().setLogFolder(dataDir_);
    provideSetupFile(options.setupTemplate);

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
        result = failure(ErrorCategory::Resource, "Error:failed to initialize component.");
        return false;
    }
    return true;
}

void Application::provideSetupFile(const std::string& templatePath) {
    const std::string target = setupPath(dataDir_);
    std::error_code ec;
    // Anything already there (even a damaged file) is left alone: loading it
    // then reports what is wrong with it.
    if (templatePath.empty() || fs::symlink_status(target, ec).type() != fs::file_type::not_found ||
        !fs::is_directory(dataDir_, ec))
        return;
    ErrorLog& log = ErrorLog::instance();
    // A template that is missing, empty or not a plain file is not copied:
    // the copy would be a broken setup file that outlives the repair.
    std::error_code sizeError;
    const std::uintmax_t size = fs::file_size(templatePath, sizeError);
    std::vector<std::uint8_t> bytes;
    std::ifstream in;
    if (!sizeError && size > 0 && size <= kMaxConfigFileSize) {
        bytes.resize(size);
        in.open(templatePath, std::ios::binary);
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    }
    if (bytes.empty() || !in) {
        log.writeLog("Error:the setup file template [%s] cannot be read.", templatePath);
        return;
    }
    fs::create_directories(fs::path(target).parent_path(), ec);
    // Written whole or not at all: a first start cut short must not leave a
    // broken setup file that then asks for a re-install.
    if (ec || !writeFileAtomically(target, bytes)) {
        log.writeLog("Error:the setup file [%s] cannot be created from the template [%s].", target,
                     templatePath);
        return;
    }
    log.writeLog("First start: the setup file [%s] was created from the template [%s].", target,
                 templatePath);
}

bool Application::loadPackage(StartupResult& result) {
    if (!config_.loadPackageConfig(configPath(packageDir_), setupPath(dataDir_))) {
        std::string first = firstErrorText();
        const auto category = static_cast<ErrorCategory>(firstErrorCode());
        removeErrors(0);
        result = failure(category, first, str::kReinstall, MessageStyle::Error);
        return false;
    }
    if (!isToolRegion(config_.regionName)) {
        result = failure(ErrorCategory::Ini, fmt::sprintf(kWrongRegionFormat, kToolRegion),
                         str::kReinstall, MessageStyle::Error);
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
