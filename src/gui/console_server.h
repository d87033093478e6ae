// The tool's end of the console protocol: a local socket server whose
// connected clients are the consoles. Each connection gets a handle; a
// console is "alive" while its connection is open. Requests are read with
// ConsoleMessageReader and handed to the MainController from the event loop
// (never from inside the socket's own signal), so an update started by one
// request can still receive later requests while it runs. A second start of
// the tool uses the same socket to ask this one to come to the front.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QPointer>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/console_protocol.h"
#include "app/front_end.h"

class QLocalSocket;

namespace vkt {
class MainController;
}

namespace vkt::gui {

class ConsoleServer : public QObject, public ConsoleLink {
    Q_OBJECT
  public:
    // Connections beyond this many are closed at once.
    static constexpr std::size_t kMaxConnections = 16;

    explicit ConsoleServer(QObject* parent = nullptr);
    ~ConsoleServer() override;

    // Listens on the Unix socket at `path`, replacing a socket file left by
    // a tool that ended without removing it (the caller holds the instance
    // lock, so no live tool owns it). Only this user may connect.
    bool listen(const std::string& path, std::string& error);
    std::string path() const;

    // Where requests go; null: they are ignored (no window yet).
    void setController(MainController* controller) { controller_ = controller; }
    // Called for a second start's request to come to the front.
    void setRaiseHandler(std::function<void()> handler) { raise_ = std::move(handler); }

    bool isAlive(ConsoleHandle console) const override;
    bool post(ConsoleHandle console, const std::string& message, std::uintptr_t wParam,
              std::intptr_t lParam) override;

    std::size_t connectionCount() const { return connections_.size(); }

  signals:
    // A request was handed to the controller (or ignored for want of one).
    void requestHandled(const QString& name);
    // A connection was closed because its bytes were not the protocol.
    void connectionRefused(const QString& reason);

  private:
    struct Connection {
        QPointer<QLocalSocket> socket;
        ConsoleMessageReader reader;
    };

    void onNewConnection();
    void onReadyRead(ConsoleHandle handle);
    void drop(ConsoleHandle handle);
    void dispatch(ConsoleHandle handle, const ConsoleMessage& message);

    QLocalServer server_;
    std::map<ConsoleHandle, std::unique_ptr<Connection>> connections_;
    ConsoleHandle nextHandle_ = 1;
    MainController* controller_ = nullptr;
    std::function<void()> raise_;
};

}  // namespace vkt::gui
