#include "TabCaptureServerWin.h"

#include "platform/posix/RuntimeSecret.h"
#include "platform/posix/SocketOwner.h"
#include "platform/posix/UserFolders.h"

#include <QDebug>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {

// Large enough for a raw 4K RGBA picture (33 MB); anything bigger is not a tab frame and would
// only let a client make us buffer without limit.
constexpr qint64 kMaxMessageBytes = 64LL * 1024 * 1024;
constexpr int kIdleTimeoutMs = 10000;

} // namespace

TabCaptureServerWin::TabCaptureServerWin(QObject* parent)
    : QObject(parent), tcpServer_(new QTcpServer(this)),
      server_(new QWebSocketServer(QStringLiteral("TabCapture"), QWebSocketServer::NonSecureMode,
                                   this)),
      idleTimer_(new QTimer(this))
{
    connect(tcpServer_, &QTcpServer::newConnection, this, &TabCaptureServerWin::onTcpConnection);
    connect(server_, &QWebSocketServer::newConnection, this, &TabCaptureServerWin::onNewConnection);
    idleTimer_->setSingleShot(true);
    idleTimer_->setInterval(kIdleTimeoutMs);
    connect(idleTimer_, &QTimer::timeout, this, &TabCaptureServerWin::onIdleTimeout);
    flushTimer_ = new QTimer(this);
    flushTimer_->setSingleShot(true);
    flushTimer_->setInterval(kClientFlushMs);
    connect(flushTimer_, &QTimer::timeout, this, &TabCaptureServerWin::stopSession);
}

QString TabCaptureServerWin::secretPath()
{
    // Qt's stand-in, a private folder in the temporary one, where the session has none.
    const QString runtime = platform::userRuntimeFolder();
    return (runtime.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)
                              : runtime) +
           QStringLiteral("/torvane/tab-token");
}

void TabCaptureServerWin::setIdleTimeout(int milliseconds)
{
    idleTimer_->setInterval(milliseconds);
}

void TabCaptureServerWin::setDurationLimitSource(std::function<std::int64_t()> source)
{
    durationLimit_ = std::move(source);
}

void TabCaptureServerWin::setSettingsSource(std::function<TabCaptureSettings()> source)
{
    settings_ = std::move(source);
}

TabCaptureServerWin::~TabCaptureServerWin()
{
    stop();
}

void TabCaptureServerWin::setSession(TabCaptureSessionBase* session)
{
    if (session_ == session)
        return;
    if (session_) {
        session_->stopSession();
        delete session_;
    }
    session_ = session;
    if (!session_)
        return;
    session_->setParent(this);
    connect(session_, &TabCaptureSessionBase::recordingStarted, this,
            &TabCaptureServerWin::recordingStarted);
    connect(session_, &TabCaptureSessionBase::recordingStopped, this,
            &TabCaptureServerWin::recordingStopped);
    connect(session_, &TabCaptureSessionBase::errorMessage, this,
            &TabCaptureServerWin::errorMessage);
    connect(session_, &TabCaptureSessionBase::previewFrame, this,
            &TabCaptureServerWin::previewFrame);
    connect(session_, &TabCaptureSessionBase::fpsSignal, this, &TabCaptureServerWin::fpsSignal);
    // The client hears "started" only once the file is open, and why when it is not.
    connect(session_, &TabCaptureSessionBase::recordingStarted, this,
            [this] { sendText(tabcapture::startedMessage()); });
    connect(session_, &TabCaptureSessionBase::startFailed, this,
            [this](const QString& reason) { sendText(tabcapture::errorReply(reason)); });
    connect(session_, &TabCaptureSessionBase::endedByItself, this, [this](const QString& reason) {
        if (!reason.isEmpty())
            sendText(tabcapture::errorReply(reason));
        sendText(tabcapture::stopRecordingMessage());
    });
}

bool TabCaptureServerWin::start(quint16 port)
{
    if (tcpServer_->isListening())
        tcpServer_->close();
    if (secret_.isEmpty()) {
        QString error;
        secret_ = platform::writeRuntimeSecret(secretPath(), &error);
        if (secret_.isEmpty())
            qWarning().noquote() << "TabCapture clients without an origin cannot connect:" << error;
    }
    if (!tcpServer_->listen(QHostAddress::LocalHost, port)) {
        const QString error = tcpServer_->errorString();
        qWarning().noquote() << "TabCapture WebSocket server failed to listen:" << error;
        emit errorMessage(error);
        return false;
    }
    qInfo().noquote() << "TabCapture WebSocket server listening on port"
                      << tcpServer_->serverPort();
    return true;
}

void TabCaptureServerWin::stop()
{
    if (session_)
        session_->stopSession();
    if (client_) {
        QWebSocket* socket = client_;
        dropClient();
        socket->close(QWebSocketProtocol::CloseCodeNormal, QString());
    }
    if (tcpServer_->isListening())
        tcpServer_->close();
}

quint16 TabCaptureServerWin::serverPort() const
{
    return tcpServer_->isListening() ? tcpServer_->serverPort() : 0;
}

bool TabCaptureServerWin::hasClient() const
{
    return !client_.isNull();
}

void TabCaptureServerWin::setScreenRecordingActive(bool active)
{
    screenRecordingActive_ = active;
}

void TabCaptureServerWin::stopRecordingFromApp()
{
    if (!client_ || !session_ || !session_->isRunning())
        return;
    sendText(tabcapture::stopRecordingMessage());
    flushTimer_->start();
}

void TabCaptureServerWin::stopSession()
{
    flushTimer_->stop();
    if (session_)
        session_->stopSession();
}

void TabCaptureServerWin::onTcpConnection()
{
    // Before a byte of the handshake is read: another user's process can reach the loopback
    // address, and an origin is only a header it could copy.
    while (QTcpSocket* socket = tcpServer_->nextPendingConnection()) {
        if (!platform::isOwnUsersPeer(socket->peerAddress(), socket->peerPort(),
                                      socket->localAddress(), socket->localPort())) {
            qWarning().noquote() << "TabCapture refused a connection from another user, port"
                                 << socket->peerPort();
            socket->abort();
            socket->deleteLater();
            continue;
        }
        server_->handleConnection(socket);
    }
}

void TabCaptureServerWin::onNewConnection()
{
    while (QWebSocket* socket = server_->nextPendingConnection()) {
        const QString origin = socket->origin();
        const TabCaptureSettings current = settings_ ? settings_() : TabCaptureSettings();
        if (origin.isEmpty() ? !tabcapture::tokenMatches(socket->requestUrl(), secret_)
                             : !tabcapture::isOriginAllowed(origin, current.addedExtensions)) {
            qWarning().noquote() << "TabCapture refused a connection from origin" << origin;
            refuse(socket, origin.isEmpty() ? QStringLiteral("Token missing or wrong")
                                            : QStringLiteral("Origin not allowed"));
            continue;
        }
        if (client_) {
            qWarning().noquote() << "TabCapture refused a second client";
            refuse(socket, QStringLiteral("Another client already connected"));
            continue;
        }
        client_ = socket;
        socket->setMaxAllowedIncomingMessageSize(kMaxMessageBytes);
        socket->setMaxAllowedIncomingFrameSize(kMaxMessageBytes);
        connect(socket, &QWebSocket::textMessageReceived, this,
                &TabCaptureServerWin::onTextMessageReceived);
        connect(socket, &QWebSocket::binaryMessageReceived, this,
                &TabCaptureServerWin::onBinaryMessageReceived);
        connect(socket, &QWebSocket::disconnected, this,
                &TabCaptureServerWin::onSocketDisconnected);
        qInfo().noquote() << "TabCapture client connected";
        idleTimer_->start();
        sendText(tabcapture::configMessage(current.recording.mux.fps,
                                           tabcapture::wallMinusMonotonicUs()));
    }
}

void TabCaptureServerWin::onTextMessageReceived(const QString& message)
{
    QString error;
    const std::optional<tabcapture::ClientMessage> parsed =
        tabcapture::parseClientText(message.toUtf8(), &error);
    if (!parsed) {
        qWarning().noquote() << "TabCapture invalid JSON:" << error;
        return;
    }
    switch (parsed->type) {
    case tabcapture::ClientMessageType::Start:
        if (screenRecordingActive_) {
            sendText(tabcapture::busyMessage());
            return;
        }
        {
            tabcapture::StartRequest request = parsed->start;
            const QString refusal = tabcapture::checkStartRequest(request);
            if (!refusal.isEmpty()) {
                qWarning().noquote() << "TabCapture refused a start:" << refusal;
                sendText(tabcapture::errorReply(refusal));
                return;
            }
            idleTimer_->start();
            if (!session_) {
                sendText(tabcapture::startedMessage());
                return;
            }
            flushTimer_->stop();
            session_->setDurationLimit(durationLimit_ ? durationLimit_() : 0);
            session_->setRecordingSettings(settings_ ? settings_().recording : RecordingSettings());
            session_->startSession(request);
            return;
        }
    case tabcapture::ClientMessageType::Stop:
        idleTimer_->start();
        stopSession();
        return;
    case tabcapture::ClientMessageType::Other:
        return;
    }
}

void TabCaptureServerWin::onBinaryMessageReceived(const QByteArray& data)
{
    if (data.isEmpty() || !session_ || !session_->isRunning())
        return;
    if (data.front() == tabcapture::kVideoTag) {
        const std::optional<tabcapture::VideoMessage> video = tabcapture::parseVideoMessage(data);
        if (!video)
            return;
        idleTimer_->start();
        if (session_->pushVideoFrame(*video, data) == TabCaptureSessionBase::VideoPush::Overloaded)
            handleOverload();
    } else if (data.front() == tabcapture::kAudioTag) {
        const std::optional<tabcapture::AudioMessage> audio = tabcapture::parseAudioMessage(data);
        if (!audio || !session_->hasAudio())
            return;
        idleTimer_->start();
        session_->pushAudioFrame(*audio, data);
    }
}

void TabCaptureServerWin::onSocketDisconnected()
{
    if (sender() != client_)
        return;
    qInfo().noquote() << "TabCapture client disconnected";
    dropClient();
    stopSession();
}

void TabCaptureServerWin::onIdleTimeout()
{
    if (!client_)
        return;
    const bool recording = session_ && session_->isRunning();
    const QString reason = recording ? QStringLiteral("No media received for too long")
                                     : QStringLiteral("No start received for too long");
    qWarning().noquote() << "TabCapture closed an idle client:" << reason;
    QWebSocket* socket = client_;
    dropClient();
    if (recording)
        session_->stopSession();
    socket->close(QWebSocketProtocol::CloseCodePolicyViolated, reason);
}

void TabCaptureServerWin::sendText(const QString& message)
{
    if (client_)
        client_->sendTextMessage(message);
}

void TabCaptureServerWin::refuse(QWebSocket* socket, const QString& reason)
{
    socket->close(QWebSocketProtocol::CloseCodePolicyViolated, reason);
    socket->deleteLater();
}

void TabCaptureServerWin::handleOverload()
{
    if (client_ && client_->state() == QAbstractSocket::ConnectedState)
        sendText(tabcapture::overloadMessage());
    if (client_ && session_) {
        sendText(tabcapture::stopRecordingMessage());
        session_->stopSession();
    }
}

void TabCaptureServerWin::dropClient()
{
    idleTimer_->stop();
    QWebSocket* socket = client_;
    client_ = nullptr;
    if (!socket)
        return;
    disconnect(socket, nullptr, this, nullptr);
    socket->deleteLater();
}
