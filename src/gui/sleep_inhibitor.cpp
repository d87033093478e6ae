#include "gui/sleep_inhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>

#include "core/error_log.h"

namespace vkt::gui {

bool SleepInhibitor::acquire() {
    if (held())
        return true;
    // A connection of its own to the system bus's current address, dropped
    // again when it failed, so that a bus that comes up later is found by the
    // next operation.
    QString address = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS");
    if (address.isEmpty())
        address = QStringLiteral("unix:path=/run/dbus/system_bus_socket");
    const QString name = QStringLiteral("vkt-sleep-inhibitor");
    QDBusConnection::disconnectFromBus(name);
    QDBusConnection bus = QDBusConnection::connectToBus(address, name);
    QString why;
    if (!bus.isConnected()) {
        why = QStringLiteral("no system bus");
        QDBusConnection::disconnectFromBus(name);
    } else {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
        call << QStringLiteral("sleep:idle") << QStringLiteral("VKT Update Tool")
             << QStringLiteral("A radio is being read or written") << QStringLiteral("block");
        // A logind that does not answer must not hold up the operation long.
        const QDBusReply<QDBusUnixFileDescriptor> reply = bus.call(call, QDBus::Block, 3000);
        if (reply.isValid() && reply.value().isValid()) {
            lock_ = reply.value();
            return true;
        }
        why = reply.error().message();
    }
    if (!reported_) {
        reported_ = true;
        ErrorLog::instance().writeLog("Error:cannot keep the system awake: %s", why.toStdString());
    }
    return false;
}

void SleepInhibitor::release() {
    lock_ = QDBusUnixFileDescriptor();
}

}  // namespace vkt::gui
