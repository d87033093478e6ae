// SIGTERM (and SIGINT from the terminal that started the tool) and the end
// of the desktop session, turned into one call on the user-interface
// thread. The signal handler only writes a byte to a socket pair; a socket
// notifier reads it in the event loop.
#pragma once

#include <QObject>
#include <functional>

class QSessionManager;
class QSocketNotifier;

namespace vkt::gui {

class TerminationWatch : public QObject {
    Q_OBJECT
  public:
    // `onRequest` runs on the user-interface thread for each signal and for
    // the end of the session; `busy` says whether a radio operation runs (the
    // session manager is then asked to wait where it allows that).
    TerminationWatch(std::function<void()> onRequest, std::function<bool()> busy,
                     QObject* parent = nullptr);
    ~TerminationWatch() override;
    TerminationWatch(const TerminationWatch&) = delete;
    TerminationWatch& operator=(const TerminationWatch&) = delete;

  private:
    void onSignalByte();
    void onSessionEnd(QSessionManager& manager);

    std::function<void()> onRequest_;
    std::function<bool()> busy_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace vkt::gui
