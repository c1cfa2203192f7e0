#pragma once

#include "TabCaptureProtocol.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>

class QWebSocket;
class QWebSocketServer;

// What the server asks of a tab recording session. The server owns the socket and the protocol;
// the session turns parsed media messages into a file. Everything runs on the GUI thread.
// The server forwards these signals as its own, so the main window only connects to the server.
class TabCaptureSessionBase : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    enum class VideoPush {
        Queued,     // the frame went to the encoder (or produced nothing yet, as a decoder may)
        Overloaded, // the encoder is about two seconds behind; the frame was dropped
    };

    // Ends any running session first. Emits recordingStarted on success, errorMessage otherwise.
    virtual void startSession(const tabcapture::StartRequest& request) = 0;
    // Finishes the file and emits recordingStopped; does nothing (and emits nothing) when idle.
    virtual void stopSession() = 0;
    virtual bool isRunning() const = 0;
    // False for a session started with zero audio channels: its audio messages are not passed on.
    virtual bool hasAudio() const = 0;
    // Called only while running. On Overloaded the server tells the client and calls stopSession.
    virtual VideoPush pushVideoFrame(const tabcapture::VideoMessage& message) = 0;
    // Called only while running with audio.
    virtual void pushAudioFrame(const tabcapture::AudioMessage& message) = 0;

signals:
    void recordingStarted(const QString& outputPath);
    void recordingStopped(const QString& outputPath);
    void errorMessage(const QString& text);
    void previewFrame(const QImage& frame);
    void fpsSignal(const QString& fpsStr);
};

// The WebSocket endpoint a browser extension streams a tab into: listens on the loopback address
// only, serves one client at a time and refuses web page origins.
class TabCaptureServerWin : public QObject
{
    Q_OBJECT

public:
    explicit TabCaptureServerWin(QObject* parent = nullptr);
    ~TabCaptureServerWin() override;

    // Takes ownership; replaces (and deletes) any previous session. Without a session "start"
    // is still answered, but nothing is recorded.
    void setSession(TabCaptureSessionBase* session);
    TabCaptureSessionBase* session() const { return session_; }

    // Closes a listening server first. False (and errorMessage) when the port cannot be bound.
    bool start(quint16 port);
    // Ends the session, closes the client normally and stops listening.
    void stop();
    // 0 when not listening.
    quint16 serverPort() const;
    bool hasClient() const;

    // While the main window records the screen, "start" is answered with "busy".
    void setScreenRecordingActive(bool active);
    bool screenRecordingActive() const { return screenRecordingActive_; }

    // The user stopped the recording in the main window: tell the client, then end the session.
    void stopRecordingFromApp();

signals:
    void recordingStarted(const QString& outputPath);
    void recordingStopped(const QString& outputPath);
    void errorMessage(const QString& text);
    void previewFrame(const QImage& frame);
    void fpsSignal(const QString& fpsStr);

public slots:
    void onNewConnection();
    void onTextMessageReceived(const QString& message);
    void onBinaryMessageReceived(const QByteArray& data);
    void onSocketDisconnected();

private:
    void sendText(const QString& message);
    void refuse(QWebSocket* socket, const QString& reason);
    void handleOverload();
    void dropClient();

    QWebSocketServer* server_ = nullptr;
    QPointer<QWebSocket> client_;
    TabCaptureSessionBase* session_ = nullptr;
    bool screenRecordingActive_ = false;
};
