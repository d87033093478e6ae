#include "cli/signal_watch.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "app/cable_setup.h"
#include "core/messaging.h"

namespace vkt::cli {

namespace {

struct Watch {
    std::mutex mutex;  // held while a signal is judged: no radio change starts meanwhile
    bool protectedSpan = false;
    EventLoop* loop = nullptr;
    std::function<void(int)> handler;
    std::function<void(int)> forward;
    std::atomic<int> count{0};
};

Watch& watch() {
    static Watch w;
    return w;
}

sigset_t watchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

void say(const char* text) {
    const std::string line = std::string("\nvkt: ") + text + "\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

[[noreturn]] void watcher() {
    const sigset_t set = watchedSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0)
            continue;
        Watch& w = watch();
        std::lock_guard lock(w.mutex);
        w.count.fetch_add(1);
        if (w.forward) {
            w.forward(signal);
            continue;
        }
        if (w.protectedSpan) {
            if (w.loop && w.handler) {
                auto handler = w.handler;
                w.loop->postDelayed(std::chrono::milliseconds(0),
                                    [handler, signal] { handler(signal); });
            } else {
                say("the radio is being written and cannot be stopped safely; please wait.");
            }
            continue;
        }
        // Nothing is being changed: the radio is as it was. The lock stays
        // held, so no update can start while the program ends.
        say("interrupted; nothing on the radio was changed.");
        std::string error;
        if (!saveSimulatedRadio(error))
            say(error.c_str());
        std::_Exit(kExitSignal);
    }
}

}  // namespace

void SignalWatch::install() {
    const sigset_t set = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(watcher).detach();
}

void SignalWatch::setHandler(EventLoop* loop, std::function<void(int)> handler) {
    Watch& w = watch();
    std::lock_guard lock(w.mutex);
    w.loop = loop;
    w.handler = std::move(handler);
}

void SignalWatch::protect(bool on) {
    Watch& w = watch();
    std::lock_guard lock(w.mutex);
    w.protectedSpan = on;
}

void SignalWatch::forwardTo(std::function<void(int)> forward) {
    Watch& w = watch();
    std::lock_guard lock(w.mutex);
    w.forward = std::move(forward);
}

int SignalWatch::count() {
    return watch().count.load();
}

}  // namespace vkt::cli
