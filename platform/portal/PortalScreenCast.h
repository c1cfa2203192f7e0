#pragma once

#include <QDBusObjectPath>
#include <QObject>
#include <QPoint>
#include <QSize>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <functional>

class PortalRequest;
class QDBusMessage;
class QDBusPendingCallWatcher;

// Asks the desktop for one screen or window through the xdg-desktop-portal ScreenCast API and
// hands back the PipeWire connection and node that carry its image. The share dialog is shown by
// the desktop; the restore token of an earlier share, which the caller keeps, lets a later request
// skip it. Requests are asynchronous: start() returns at once and ready() or failed() follows on
// the event loop. The session stays open (and with it the stream) until close() or destruction.
// Lives in the GUI thread; not thread-safe.
class PortalScreenCast : public QObject
{
    Q_OBJECT

public:
    enum class Source : std::uint32_t { Monitor = 1, Window = 2 };

    explicit PortalScreenCast(QObject* parent = nullptr);
    // Closes the session.
    ~PortalScreenCast() override;

    // Whether this process runs in a Wayland session, where X11 capture sees no other client.
    static bool isWaylandSession();
    // Closes a connection ready() handed out that is not going to be used.
    static void closeConnection(int fd);

    // One request at a time; a second start() while one runs fails at once. restoreToken: the
    // last one restoreTokenChanged() gave for this kind of source, or empty.
    void start(Source source, bool embedCursor, const QString& restoreToken);
    // Ends the screen cast (the stream stops); a request still running ends without a signal.
    void close();

Q_SIGNALS:
    // fd is a connection to the PipeWire daemon that the receiver now owns and must close;
    // nodeId the stream on it; size and position the shared area in desktop pixels (position
    // is (0, 0) for a window or when the desktop does not say).
    void ready(int fd, std::uint32_t nodeId, QSize size, QPoint position);
    // cancelled: the user closed the share dialog. message is for the user.
    void failed(QString message, bool cancelled);
    // The token that lets the next request for this kind of source skip the share dialog; empty
    // when the one given to start() was refused. The caller keeps it.
    void restoreTokenChanged(QString token);

private Q_SLOTS:
    void onResponse(uint response, const QVariantMap& results);

private:
    enum class Step { Idle, CreateSession, SelectSources, Start, OpenRemote };

    // Sends method with args on the ScreenCast interface; the answer comes to onResponse().
    void request(Step step, const QString& method, const QVariantList& args);
    void onCursorModes(QDBusPendingCallWatcher* call);
    void onStarted(const QVariantMap& results);
    void openRemote();
    void fail(const QString& detail);

    Step step_ = Step::Idle;
    Source source_ = Source::Monitor;
    bool embedCursor_ = false;
    QString restoreToken_;
    bool usedToken_ = false;
    std::uint32_t cursorModes_ = 0;
    PortalRequest* request_;
    QDBusObjectPath session_;
    std::uint32_t nodeId_ = 0;
    QSize size_;
    QPoint position_;
};
