#include "gui/console_server.h"

#include <QLocalSocket>
#include <QTimer>
#include <vector>

#include "app/main_controller.h"
#include "core/error_log.h"

namespace vkt::gui {

ConsoleServer::ConsoleServer(QObject* parent) : QObject(parent) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &ConsoleServer::onNewConnection);
}

ConsoleServer::~ConsoleServer() {
    for (auto& [handle, connection] : connections_)
        if (connection->socket) {
            connection->socket->disconnect(this);
            connection->socket->abort();
        }
    server_.close();
}

bool ConsoleServer::listen(const std::string& path, std::string& error) {
    const QString name = QString::fromStdString(path);
    QLocalServer::removeServer(name);
    if (!server_.listen(name)) {
        error = server_.errorString().toStdString();
        return false;
    }
    return true;
}

std::string ConsoleServer::path() const {
    return server_.fullServerName().toStdString();
}

void ConsoleServer::onNewConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        if (connections_.size() >= kMaxConnections) {
            socket->abort();
            socket->deleteLater();
            emit connectionRefused(QStringLiteral("too many connections"));
            continue;
        }
        const ConsoleHandle handle = nextHandle_++;
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        connections_[handle] = std::move(connection);
        connect(socket, &QLocalSocket::readyRead, this, [this, handle] { onReadyRead(handle); });
        connect(socket, &QLocalSocket::disconnected, this, [this, handle] { drop(handle); });
        // Bytes that arrived with the connection.
        if (socket->bytesAvailable() > 0)
            onReadyRead(handle);
    }
}

void ConsoleServer::onReadyRead(ConsoleHandle handle) {
    auto found = connections_.find(handle);
    if (found == connections_.end() || !found->second->socket)
        return;
    Connection& connection = *found->second;
    const QByteArray bytes = connection.socket->readAll();
    const bool ok =
        connection.reader.feed({reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                static_cast<std::size_t>(bytes.size())});
    while (std::optional<ConsoleMessage> message = connection.reader.next()) {
        // Handled from the event loop: an update started here runs its own
        // loops, and the socket must be able to deliver more bytes meanwhile.
        QTimer::singleShot(0, this, [this, handle, m = *message] { dispatch(handle, m); });
    }
    if (!ok) {
        const std::string reason = connection.reader.error();
        ErrorLog::instance().writeLog("Error:console connection closed: %s", reason);
        emit connectionRefused(QString::fromStdString(reason));
        connection.socket->abort();
        drop(handle);
    }
}

void ConsoleServer::drop(ConsoleHandle handle) {
    auto found = connections_.find(handle);
    if (found == connections_.end())
        return;
    if (found->second->socket) {
        found->second->socket->disconnect(this);
        found->second->socket->deleteLater();
    }
    connections_.erase(found);
}

void ConsoleServer::dispatch(ConsoleHandle handle, const ConsoleMessage& message) {
    // The request's first parameter names the console on the sender's side;
    // here the connection it came through is the console.
    const auto magic = static_cast<std::uintptr_t>(message.lParam);
    if (message.name == kToolRaise) {
        if (raise_)
            raise_();
    } else if (controller_ && message.lParam >= 0) {
        if (message.name == kToolUpdateStart)
            controller_->onConsoleUpdateStart(handle, magic);
        else if (message.name == kToolEnterTestMode)
            controller_->onConsoleEnterTestMode(handle, magic);
        else if (message.name == kToolExitTestMode)
            controller_->onConsoleExitTestMode(handle, magic);
    }
    emit requestHandled(QString::fromStdString(message.name));
}

bool ConsoleServer::isAlive(ConsoleHandle console) const {
    auto found = connections_.find(console);
    return found != connections_.end() && found->second->socket &&
           found->second->socket->state() == QLocalSocket::ConnectedState;
}

bool ConsoleServer::post(ConsoleHandle console, const std::string& message, std::uintptr_t wParam,
                         std::intptr_t lParam) {
    if (!isAlive(console))
        return false;
    QLocalSocket& socket = *connections_.at(console)->socket;
    const std::string line = encodeConsoleMessage({message, wParam, lParam});
    if (socket.write(line.data(), static_cast<qint64>(line.size())) !=
        static_cast<qint64>(line.size()))
        return false;
    socket.flush();
    return true;
}

}  // namespace vkt::gui
