#include "gui/sleep_inhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>

#include "core/error_log.h"

namespace vkt::gui {

bool SleepInhibitor::acquire() {
    if (held())
        return true;
    QDBusConnection bus = QDBusConnection::systemBus();
    QString why;
    if (!bus.isConnected()) {
        why = QStringLiteral("no system bus");
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
