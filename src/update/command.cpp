#include "update/command.h"

#include "core/error_stack.h"

namespace vkt {

void Command::postBegin() const {
    if (isWindow(owner))
        postMessage(owner, WM_CMD_BEGIN, 0, 0);
}

void Command::postEnd() const {
    if (isWindow(owner))
        postMessage(owner, WM_CMD_END, 0, 0);
}

void Command::sendProgress(std::uint32_t position) const {
    if (isWindow(owner))
        sendNotifyMessage(owner, WM_CMD_PROGRESS, position, 0);
}

ProgressNote Command::progressNote() const {
    std::lock_guard lock(noteMutex_);
    return note_;
}

void Command::setProgressNote(const ProgressNote& note) {
    std::lock_guard lock(noteMutex_);
    note_ = note;
}

void Command::abandon() noexcept {
    ok = false;
    raiseErrorText(ErrorCategory::Update, "Error:unexpected failure.");
    postEnd();
}

}  // namespace vkt
