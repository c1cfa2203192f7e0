#include "TabCaptureServerWin.h"

#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"

#include <QDebug>
#include <QHostAddress>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {

// Large enough for a raw 4K RGBA picture (33 MB); anything bigger is not a tab frame and would
// only let a client make us buffer without limit.
constexpr qint64 kMaxMessageBytes = 64LL * 1024 * 1024;

} // namespace

TabCaptureServerWin::TabCaptureServerWin(QObject* parent)
    : QObject(parent), server_(new QWebSocketServer(QStringLiteral("TabCapture"),
                                                    QWebSocketServer::NonSecureMode, this))
{
    connect(server_, &QWebSocketServer::newConnection, this, &TabCaptureServerWin::onNewConnection);
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
}

bool TabCaptureServerWin::start(quint16 port)
{
    if (server_->isListening())
        server_->close();
    if (!server_->listen(QHostAddress::LocalHost, port)) {
        const QString error = server_->errorString();
        qWarning().noquote() << "TabCapture WebSocket server failed to listen:" << error;
        emit errorMessage(error);
        return false;
    }
    qInfo().noquote() << "TabCapture WebSocket server listening on port" << server_->serverPort();
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
    if (server_->isListening())
        server_->close();
}

quint16 TabCaptureServerWin::serverPort() const
{
    return server_->isListening() ? server_->serverPort() : 0;
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
    session_->stopSession();
}

void TabCaptureServerWin::onNewConnection()
{
    while (QWebSocket* socket = server_->nextPendingConnection()) {
        if (!tabcapture::isOriginAllowed(socket->origin())) {
            qWarning().noquote() << "TabCapture refused a connection from origin"
                                 << socket->origin();
            refuse(socket, QStringLiteral("Origin not allowed"));
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
        const QVariant fps = SettingsStore::instance().value(settings::kVideoGroup, settings::kFps);
        sendText(tabcapture::configMessage(tabcapture::configFrameRate(fps)));
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
        if (session_)
            session_->startSession(parsed->start);
        sendText(tabcapture::startedMessage());
        return;
    case tabcapture::ClientMessageType::Stop:
        if (session_)
            session_->stopSession();
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
        if (video &&
            session_->pushVideoFrame(*video) == TabCaptureSessionBase::VideoPush::Overloaded)
            handleOverload();
    } else if (data.front() == tabcapture::kAudioTag) {
        const std::optional<tabcapture::AudioMessage> audio = tabcapture::parseAudioMessage(data);
        if (audio && session_->hasAudio())
            session_->pushAudioFrame(*audio);
    }
}

void TabCaptureServerWin::onSocketDisconnected()
{
    if (sender() != client_)
        return;
    qInfo().noquote() << "TabCapture client disconnected";
    dropClient();
    if (session_)
        session_->stopSession();
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
    QWebSocket* socket = client_;
    client_ = nullptr;
    if (!socket)
        return;
    disconnect(socket, nullptr, this, nullptr);
    socket->deleteLater();
}
