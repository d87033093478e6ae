// RadioManager: the owner of the radio link and the watcher of the
// programming cables. It owns the RadioInfo, connects and disconnects the
// radio on request, and runs a poll thread that counts the attached cables
// once a period and notifies its own window, which forwards the count to its
// listeners as WM_CABLE_COUNT.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "core/event.h"
#include "link/cable_driver.h"
#include "link/radio_info.h"

namespace vkt {

class RadioManager : public Event {
  public:
    explicit RadioManager(std::shared_ptr<CableDriver> driver,
                          std::chrono::milliseconds period = std::chrono::milliseconds(1000));
    ~RadioManager() override;  // stops the poll thread, then closes an open cable

    // Creates the hidden window (see Event), then starts the poll thread once.
    // The thread is started even when the window could not be created.
    WindowHandle createWindow(MessageQueue* queue = nullptr) override;

    // Closes an open cable, then opens the first programming cable and sets
    // it up.
    bool connect();
    // Closes an open cable. Returns whether the close succeeded (true when
    // nothing was open).
    bool disconnect();

    RadioInfo& radio() { return *radio_; }
    // Device index used by the last connect that found a cable (-1 before).
    int portIndex() const { return portIndex_.load(); }
    // Number of cables found by the last poll (the one this process holds
    // open is not among them).
    std::uint8_t cableCount() const { return cableCount_.load(); }

    // While true (the default) the thread polls; while false it idles. A
    // change takes effect at the next period.
    void setPolling(bool run);
    bool polling() const;
    // Ends the poll thread and waits for it; a sleeping thread wakes at once.
    // Idempotent.
    void stop();

    // WM_CABLE_COUNT: forwarded to the listeners. WM_RADIO_SET_VALID: sets
    // the identity-valid flag to wParam != 0 and sends WM_RADIO_CHANGED to the
    // listeners. WM_RADIO_FORWARD: forwarded unchanged. Returns 1 for these.
    std::intptr_t onMessage(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) override;

  private:
    void poll(WindowHandle window);

    std::unique_ptr<RadioInfo> radio_;
    std::chrono::milliseconds period_;
    std::atomic<int> portIndex_{-1};
    std::atomic<std::uint8_t> cableCount_{0};

    mutable std::mutex mutex_;  // the two events
    std::condition_variable wake_;
    bool stopRequested_ = false;
    bool run_ = true;
    std::thread pollThread_;
    std::mutex threadLock_;  // starting and joining the thread
};

}  // namespace vkt
