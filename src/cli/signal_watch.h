// SIGINT, SIGTERM and SIGHUP for `vkt`. They are blocked in every thread
// from the start of main and taken by one watcher thread, so no signal can
// cut a radio request in half:
//   - while no radio is being changed, a signal ends the program at once
//     (exit 130), after saving the simulated radio of --simulate;
//   - while one is (from the start of an update's programming run to the end
//     of its flow), the signal is handed to the command's event loop, where
//     the update flow decides what it means (MainController::onStopRequest)
//     and the closing requests still go out.
#pragma once

#include <functional>

namespace vkt {
class EventLoop;
}

namespace vkt::cli {

// Exit code of a program that stopped on a signal (128 + SIGINT).
inline constexpr int kExitSignal = 130;

class SignalWatch {
  public:
    // Blocks the signals and starts the watcher. Call first in main, before
    // any other thread exists (threads inherit the blocked set).
    static void install();
    // Where signals go while the radio is being changed: `handler` runs on
    // `loop`'s thread. An empty handler (or none set) leaves the signal
    // counted and otherwise ignored.
    static void setHandler(EventLoop* loop, std::function<void(int signal)> handler);
    // The radio is being changed (true) or no longer (false).
    static void protect(bool on);
    // While set, every signal is handed to `forward` on the watcher thread
    // (and counted) instead: for a program whose radios are changed by its
    // child processes, which decide what a signal means for each. Empty:
    // back to the rules above. `forward` must not block.
    static void forwardTo(std::function<void(int signal)> forward);
    // Signals received so far.
    static int count();
};

}  // namespace vkt::cli
