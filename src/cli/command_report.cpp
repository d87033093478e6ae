#include "cli/command_report.h"

#include <algorithm>

#include "core/error_log.h"

namespace vkt::cli {

CommandReport::CommandReport(std::string command, bool json)
    : command_(std::move(command)), json_(json), envelope_(jsonEnvelope(command_)) {}

void CommandReport::declareFields(std::initializer_list<const char*> names) {
    for (const char* name : names)
        fields_[name] = nullptr;
}

void CommandReport::logFailuresIn(const std::string& dataDir) {
    ErrorLog& log = ErrorLog::instance();
    if (log.path().empty() && !dataDir.empty())
        log.setLogFolder(dataDir);
    logFailures_ = true;
}

Json CommandReport::object() const {
    Json out = envelope_;
    for (const auto& [key, value] : fields_.items())
        out[key] = value;
    return out;
}

void CommandReport::print() {
    if (printed_ || !json_)
        return;
    printed_ = true;
    printJson(std::cout, object());
}

int CommandReport::succeed(const std::string& result, int exitCode) {
    setJsonSuccess(envelope_, result);
    print();
    return exitCode;
}

std::vector<std::string> failureLines(const Failure& failure) {
    std::vector<std::string> lines;
    for (const std::string& message : failure.messages) {
        // A message may span lines (the window's texts do): each is its own.
        std::size_t start = 0;
        while (start <= message.size()) {
            const std::size_t end = std::min(message.find('\n', start), message.size());
            std::string line = message.substr(start, end - start);
            while (!line.empty() && (line.back() == '\r' || line.back() == '\t'))
                line.pop_back();
            if (!line.empty())
                lines.push_back(std::move(line));
            start = end + 1;
        }
    }
    if (lines.empty())
        lines.emplace_back("the command failed");
    lines.front() = "vkt: error: " + lines.front();
    if (!failure.hint.empty())
        lines.push_back("hint: " + failure.hint);
    return lines;
}

int CommandReport::fail(const Failure& failure, int exitCode) {
    const std::vector<std::string> lines = failureLines(failure);
    for (const std::string& line : lines)
        std::cerr << line << "\n";
    std::cerr.flush();
    if (logFailures_) {
        ErrorLog& log = ErrorLog::instance();
        log.writeLog("vkt %s: %s", command_, lines.front().substr(5));
        for (std::size_t i = 1; i < lines.size(); ++i)
            log.writeLog("%s", lines[i]);
    }
    setJsonFailure(envelope_, failure.messages.empty() ? std::string() : failure.messages.front(),
                   failure);
    print();
    return exitCode;
}

int CommandReport::nothingDone(const Failure& reason) {
    setJsonFailure(envelope_, reason.messages.empty() ? std::string() : reason.messages.front(),
                   reason);
    print();
    return kExitNothingDone;
}

}  // namespace vkt::cli
