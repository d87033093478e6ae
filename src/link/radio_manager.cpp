#include "link/radio_manager.h"

#include "link/usb_serial.h"

namespace vkt {

RadioManager::RadioManager(std::shared_ptr<CableDriver> driver, std::chrono::milliseconds period)
    : radio_(std::make_unique<RadioInfo>(std::move(driver))), period_(period) {}

RadioManager::~RadioManager() {
    stop();
    radio_.reset();  // closes an open cable
}

WindowHandle RadioManager::createWindow(MessageQueue* queue) {
    const WindowHandle window = Event::createWindow(queue);
    std::lock_guard threadLock(threadLock_);
    {
        std::lock_guard lock(mutex_);
        if (pollThread_.joinable() || stopRequested_)
            return window;
    }
    pollThread_ = std::thread([this, window] { poll(window); });
    return window;
}

bool RadioManager::disconnect() {
    RadioInfo& radio = *radio_;
    return radio.portOpen() ? radio.closePort() : true;
}

bool RadioManager::connect() {
    // A failed close does not stop the reopen: the cable is searched afresh.
    disconnect();
    RadioInfo& radio = *radio_;
    int index = -1;
    if (radio.cable().findCables(index) <= 0 || index < 0)
        return false;
    portIndex_.store(index);
    return radio.openPort(index);
}

void RadioManager::setPolling(bool run) {
    std::lock_guard lock(mutex_);
    run_ = run;
}

bool RadioManager::polling() const {
    std::lock_guard lock(mutex_);
    return run_;
}

void RadioManager::stop() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
    std::lock_guard threadLock(threadLock_);
    if (pollThread_.joinable())
        pollThread_.join();
}

void RadioManager::poll(WindowHandle window) {
    for (;;) {
        {
            // The period runs from the end of one poll to the next; a stop
            // request ends the wait at once.
            std::unique_lock lock(mutex_);
            if (wake_.wait_for(lock, period_, [this] { return stopRequested_; }))
                return;
            if (!run_)
                continue;
        }
        USBSerial& cable = radio_->cable();
        // The count stores no status of its own: a radio exchange may be
        // running on the other thread, and its guard reads the status.
        const int found = cable.countCables();
        const auto count = static_cast<std::uint8_t>(found < 0 ? 0 : found);
        cableCount_.store(count);
        // Clears a driver error an earlier call latched.
        cable.resetLastStatus();
        // The cable this process holds open is not reported by the search.
        const std::intptr_t cables = count + (radio_->portOpen() ? 1 : 0);
        sendNotifyMessage(window, WM_CABLE_COUNT, 0, cables);
    }
}

std::intptr_t RadioManager::onMessage(std::uint32_t id, std::uintptr_t wParam,
                                      std::intptr_t lParam) {
    switch (id) {
        case WM_CABLE_COUNT:
            postToListeners(WM_CABLE_COUNT, 0, lParam);
            return 1;
        case WM_RADIO_SET_VALID:
            radio_->setIdentityValid(wParam != 0);
            notifyListeners();
            return 1;
        case WM_RADIO_FORWARD:
            postToListeners(id, wParam, lParam);
            return 1;
        default:
            return 0;
    }
}

}  // namespace vkt
