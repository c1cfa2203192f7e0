// The browser tab recording server (the name is the one the rest of the program knows): a
// WebSocket server on the loopback for the browser extension, the same on every system.
#pragma once

#include "TabCaptureProtocol.h"
#include "recording/RecordingSettings.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

class QTcpServer;
class QTimer;
class QWebSocket;
class QWebSocketServer;

// What the server asks of a tab recording session. The server owns the socket and the protocol;
// the session turns parsed media messages into a file. Its methods are called on the GUI thread
// and return at once. The server forwards the window's signals as its own, so the main window
// only connects to the server; it answers the client from startFailed and endedByItself.
// What tab recording takes from the settings.
struct TabCaptureSettings
{
    RecordingSettings recording;
    // Extension ids (or whole origins) allowed besides Torvane's own.
    QStringList addedExtensions;
};

class TabCaptureSessionBase : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    enum class VideoPush {
        Queued,     // the frame went to the encoder (or produced nothing yet, as a decoder may)
        Overloaded, // the encoder is about two seconds behind; the frame was dropped
    };

    // Ends any running session first. The request has passed checkStartRequest. Emits
    // recordingStarted once the file is open, startFailed (and errorMessage) when it cannot be.
    virtual void startSession(const tabcapture::StartRequest& request) = 0;
    // Ends the recording; recordingStopped follows once the file is finished, if it had started.
    // Does nothing (and emits nothing) when idle.
    virtual void stopSession() = 0;
    virtual bool isRunning() const = 0;
    // False for a session started with zero audio channels: its audio messages are not passed on.
    virtual bool hasAudio() const = 0;
    // Called only while running; holder is the received message the parsed one points into,
    // kept while another thread reads it. On Overloaded the server tells the client and calls
    // stopSession.
    virtual VideoPush pushVideoFrame(const tabcapture::VideoMessage& message,
                                     const QByteArray& holder) = 0;
    // Called only while running with audio.
    virtual void pushAudioFrame(const tabcapture::AudioMessage& message,
                                const QByteArray& holder) = 0;
    // The length in microseconds the next started file ends at by itself (endedByItself with no
    // reason); 0 for none.
    virtual void setDurationLimit(std::int64_t) {}
    // The settings the next started file is made with.
    virtual void setRecordingSettings(const RecordingSettings&) {}

signals:
    void recordingStarted(const QString& outputPath);
    void recordingStopped(const QString& outputPath);
    void errorMessage(const QString& text);
    void previewFrame(const QImage& frame);
    void fpsSignal(const QString& fpsStr);
    // The file could not be opened; the client is told why instead of "started".
    void startFailed(const QString& reason);
    // The recording ended without being asked to (a failed write, a full disk); the client is
    // told the reason and "stopRecording".
    void endedByItself(const QString& reason);
};

// The WebSocket endpoint a browser extension streams a tab into: listens on the loopback address
// only and serves one client at a time. Only this user's processes get as far as the handshake;
// of those, only our extension (or one the user added) by its origin, or a client without an
// origin that sends the per-user secret from secretPath(). A client that starts nothing, or
// sends no media while recording, for 10 s is closed, freeing the slot.
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
    // The first start writes the secret for clients without an origin.
    bool start(quint16 port);
    // Ends the session, closes the client normally and stops listening.
    void stop();
    // 0 when not listening.
    quint16 serverPort() const;
    bool hasClient() const;

    // While the main window records the screen, "start" is answered with "busy".
    void setScreenRecordingActive(bool active);
    bool screenRecordingActive() const { return screenRecordingActive_; }

    // The user stopped the recording in the main window: tell the client, and end the session
    // once the client has sent what its encoder still held ("stop" or its going away), at most
    // kClientFlushMs later.
    void stopRecordingFromApp();
    static constexpr int kClientFlushMs = 2000;

    // Where the secret lives: <runtime folder>/torvane/tab-token, readable by the user only.
    static QString secretPath();
    // How long a client may go without starting, or without media while recording (tests).
    void setIdleTimeout(int milliseconds);
    // Asked at each start for the length the file ends at (microseconds, 0 for none).
    void setDurationLimitSource(std::function<std::int64_t()> source);
    // Asked when a client connects (its origin, the frame rate it is told) and at each start
    // (the recording's settings); a new settings.ini's values unless set.
    void setSettingsSource(std::function<TabCaptureSettings()> source);

signals:
    void recordingStarted(const QString& outputPath);
    void recordingStopped(const QString& outputPath);
    void errorMessage(const QString& text);
    void previewFrame(const QImage& frame);
    void fpsSignal(const QString& fpsStr);

public slots:
    void onTcpConnection();
    void onNewConnection();
    void onTextMessageReceived(const QString& message);
    void onBinaryMessageReceived(const QByteArray& data);
    void onSocketDisconnected();

private:
    void sendText(const QString& message);
    void refuse(QWebSocket* socket, const QString& reason);
    void handleOverload();
    void dropClient();
    void onIdleTimeout();
    void stopSession();

    QTcpServer* tcpServer_ = nullptr;
    // Not listening itself: it takes the connections tcpServer_ lets through.
    QWebSocketServer* server_ = nullptr;
    QTimer* idleTimer_ = nullptr;
    QTimer* flushTimer_ = nullptr;
    QByteArray secret_;
    std::function<std::int64_t()> durationLimit_;
    std::function<TabCaptureSettings()> settings_;
    QPointer<QWebSocket> client_;
    TabCaptureSessionBase* session_ = nullptr;
    bool screenRecordingActive_ = false;
};
