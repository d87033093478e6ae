#include "gui/termination_watch.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <cerrno>

namespace vkt::gui {

namespace {

// [0] written by the handler, [1] read by the notifier.
int signalPipe[2] = {-1, -1};

void onSignal(int signal) {
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[0], &byte, 1);
    errno = saved;
}

}  // namespace

TerminationWatch::TerminationWatch(std::function<void()> onRequest, std::function<bool()> busy,
                                   QObject* parent)
    : QObject(parent), onRequest_(std::move(onRequest)), busy_(std::move(busy)) {
    if (signalPipe[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
        signalPipe[0] = signalPipe[1] = -1;
    if (signalPipe[0] >= 0) {
        notifier_ = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &TerminationWatch::onSignalByte);
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(app, &QGuiApplication::commitDataRequest, this, &TerminationWatch::onSessionEnd);
}

TerminationWatch::~TerminationWatch() {
    // Back to the default: a signal after the window has gone ends the tool.
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

void TerminationWatch::onSignalByte() {
    char bytes[16];
    while (::read(signalPipe[1], bytes, sizeof bytes) > 0) {
    }
    onRequest_();
}

void TerminationWatch::onSessionEnd(QSessionManager& manager) {
    // While a radio is being written the session should wait for it.
    if (busy_() && manager.allowsInteraction())
        manager.cancel();
    onRequest_();
}

}  // namespace vkt::gui
