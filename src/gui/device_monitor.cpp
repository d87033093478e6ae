#include "gui/device_monitor.h"

#include <libudev.h>

#include <QSocketNotifier>
#include <cstring>

#include "core/error_log.h"

namespace vkt::gui {

DeviceRemovalMonitor::DeviceRemovalMonitor(QObject* parent) : QObject(parent) {
    udev_ = udev_new();
    if (!udev_) {
        ErrorLog::instance().writeLog("Error:device notices unavailable (udev).");
        return;
    }
    udev_monitor* monitor = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor || udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        if (monitor)
            udev_monitor_unref(monitor);
        ErrorLog::instance().writeLog("Error:device notices unavailable (udev monitor).");
        return;
    }
    monitor_ = monitor;
    notifier_ =
        std::make_unique<QSocketNotifier>(udev_monitor_get_fd(monitor_), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &DeviceRemovalMonitor::onReadable);
}

DeviceRemovalMonitor::~DeviceRemovalMonitor() {
    notifier_.reset();
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (udev_)
        udev_unref(udev_);
}

void DeviceRemovalMonitor::onReadable() {
    // Every queued event is taken; one notice covers a burst of removals.
    bool removed = false;
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        const char* action = udev_device_get_action(device);
        if (action && std::strcmp(action, "remove") == 0)
            removed = true;
        udev_device_unref(device);
    }
    if (removed)
        emit deviceRemoved();
}

}  // namespace vkt::gui
