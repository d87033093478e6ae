// The main window over the application on a simulated radio, for the
// window's tests.
#pragma once

#include <QLineEdit>
#include <functional>
#include <memory>
#include <vector>

#include "app_test_support.h"
#include "gui/main_window.h"
#include "gui/qt_message_queue.h"
#include "gui_test_support.h"

namespace vkt::testing {

using Window = gui::MainWindow;
using Field = Window::Field;

// The application on a simulated radio with `cables` cables (the radio on
// the first), polled every 20 ms, and the main window over it.
class GuiBench {
  public:
    // `beforeWindow` runs after a successful start, before the window opens.
    GuiBench(PackageCopy& package, std::size_t cables, sim::RadioConfig config = demoRadio(),
             const std::function<void(Application&)>& beforeWindow = {})
        : radio(std::make_shared<sim::SimRadio>(std::move(config))) {
        driver = simCables(radio, cables);
        startup =
            app.start(benchStartupOptions(package, driver, std::chrono::milliseconds(20), &queue));
        removeErrors(0);
        if (startup.ok) {
            if (beforeWindow)
                beforeWindow(app);
            window = std::make_unique<Window>(app, queue);
            window->show();
        }
    }
    ~GuiBench() {
        window.reset();
        app.shutdown();
    }

    QString text(Field f) const { return window->field(f)->text(); }

    gui::QtMessageQueue queue;
    BoxScript boxes;
    std::shared_ptr<sim::SimRadio> radio;
    std::shared_ptr<sim::VirtualCableDriver> driver;
    Application app;
    StartupResult startup;
    std::unique_ptr<Window> window;
};

}  // namespace vkt::testing
