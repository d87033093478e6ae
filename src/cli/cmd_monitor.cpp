// `vkt monitor`: runs the cable monitor and prints every cable-count notice
// as it arrives, until the time is up or Ctrl-C.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>

#include "app/cable_setup.h"
#include "cli/cable_access.h"
#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/json_output.h"
#include "core/messaging.h"
#include "link/radio_manager.h"

namespace vkt::cli {

namespace {

// Set by the signal handler, which may run on any thread of the process.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free,
              "the handler may only touch a lock-free flag");

extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

// The window that receives the monitor's forwarded notices.
class Printer : public MessageTarget {
  public:
    explicit Printer(bool json) : json_(json) {}
    std::intptr_t onMessage(std::uint32_t id, std::uintptr_t, std::intptr_t lParam) override {
        if (id != WM_CABLE_COUNT)
            return 0;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start_);
        std::string text;
        if (lParam == 0) {
            text = "USB Cable Disconnected";
        } else if (lParam == 1) {
            text = "USB Cable Connected";
        } else {
            text = "USB Cable Connected (" + std::to_string(lParam) +
                   " programming cables attached: only one may be)";
        }
        if (json_) {
            // One object per notice, each a whole envelope.
            Json line = jsonEnvelope("monitor");
            setJsonSuccess(line, text);
            line["cables"] = lParam;
            line["ms"] = elapsed.count();
            printJson(std::cout, line);
        } else {
            std::cout << text << std::endl;
        }
        return 1;
    }

  private:
    bool json_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

int runMonitor(const GlobalOptions& options, double seconds, bool json) {
    CommandReport report("monitor", json);
    report.declareFields({"cables", "ms"});
    // With --port or --cable only the chosen cable is watched.
    CableSetup setup = options.port.empty() && options.cable < 0
                           ? makeBackendDriver(options, report)
                           : chooseCableDriver(options, report);
    if (!setup.driver)
        return setup.exitCode;
    std::shared_ptr<CableDriver> driver = setup.driver;
    SimulatedRadioSaver saveRadio;
    EventLoop loop;
    Printer printer(json);
    const WindowHandle window = createWindow(&printer, &loop);
    RadioManager manager(driver);
    if (!manager.addListener(window) || manager.createWindow(&loop) == 0) {
        return report.fail(Failure{"RESOURCE", {"cannot create the monitor's windows"}, {}});
    }
    interrupted.store(false);
    auto previousInt = std::signal(SIGINT, onInterrupt);
    auto previousTerm = std::signal(SIGTERM, onInterrupt);
    // The loop runs in short slices so that a signal (which may only set a
    // flag) ends it within a tenth of a second.
    using namespace std::chrono;
    const auto end = steady_clock::now() + duration_cast<steady_clock::duration>(
                                               duration<double>(seconds > 0 ? seconds : 0));
    while (!interrupted.load()) {
        auto slice = milliseconds(100);
        if (seconds > 0) {
            const auto left = duration_cast<milliseconds>(end - steady_clock::now());
            if (left <= milliseconds(0))
                break;
            slice = std::min(slice, left);
        }
        loop.runUntil([] { return interrupted.load(); }, slice);
    }
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    manager.stop();
    manager.removeListener(window);
    destroyWindow(window);
    return kExitOk;
}

}  // namespace

void addMonitorCommand(CLI::App& app, GlobalOptions& options) {
    auto* sub = app.add_subcommand(
        "monitor",
        "Watch the programming cables: print the number attached once a second (Ctrl-C ends)");
    auto seconds = std::make_shared<double>(0.0);
    auto json = std::make_shared<bool>(false);
    sub->add_option("--seconds", *seconds,
                    "Stop after this many seconds (default: run until Ctrl-C)")
        ->check(CLI::NonNegativeNumber);
    sub->add_flag("--json", *json,
                  "Print one JSON object per notice, with \"cables\" (the number attached) and "
                  "\"ms\" (milliseconds since the start)");
    setHandler(sub, [&options, seconds, json] { return runMonitor(options, *seconds, *json); });
}

}  // namespace vkt::cli
