// Notices from udev that a serial or USB device went away, so that an open
// link is closed as soon as its cable is pulled rather than at the next
// cable poll. Where udev cannot be reached (no netlink access, a container)
// the monitor stays idle; the once-a-second cable poll covers that case.
#pragma once

#include <QObject>
#include <memory>

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace vkt::gui {

class DeviceRemovalMonitor : public QObject {
    Q_OBJECT
  public:
    explicit DeviceRemovalMonitor(QObject* parent = nullptr);
    ~DeviceRemovalMonitor() override;

    // True when udev events are being received.
    bool active() const { return monitor_ != nullptr; }

  signals:
    // A "tty" or "usb" device was removed.
    void deviceRemoved();

  private:
    void onReadable();

    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace vkt::gui
