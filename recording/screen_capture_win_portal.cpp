// The part of a recording's start that asks the desktop's portal for the screen or window to
// record (Wayland), kept apart from the session's thread handling.
#include "screen_capture_win.h"

#include "capture/video_capture_thread_win.h"
#include "platform/portal/PortalScreenCast.h"

#include <QDebug>
#include <QEventLoop>

bool screen_capture_win::openPortalStream(QSize* size)
{
    const bool window = target.targetType == TargetWindow;
    // The pointer is in the image where the chosen capture method would draw it.
    const bool cursor = settings.captureKind == ScreenGrabber::Kind::Composite;
    portal = std::make_unique<PortalScreenCast>();
    connect(portal.get(), &PortalScreenCast::restoreTokenChanged, this,
            [this, window](const QString& token) {
                (window ? settings.windowRestoreToken : settings.screenRestoreToken) = token;
                Q_EMIT restoreTokenChanged(window, token);
            });
    QEventLoop wait;
    bool answered = false;
    int fd = -1;
    std::uint32_t nodeId = 0;
    QString message;
    connect(portal.get(), &PortalScreenCast::ready, &wait,
            [&](int connection, std::uint32_t node, QSize streamSize, QPoint) {
                answered = true;
                fd = connection;
                nodeId = node;
                *size = streamSize;
                wait.quit();
            });
    connect(portal.get(), &PortalScreenCast::failed, &wait, [&](const QString& text, bool) {
        answered = true;
        message = text;
        wait.quit();
    });
    startAbandoned = false;
    portal->start(window ? PortalScreenCast::Source::Window : PortalScreenCast::Source::Monitor,
                  cursor, window ? settings.windowRestoreToken : settings.screenRestoreToken);
    if (!answered) {
        startWait = &wait;
        wait.exec();
        startWait = nullptr;
    }
    if (startAbandoned || fd < 0) {
        PortalScreenCast::closeConnection(fd);
        portal.reset();
        if (!startAbandoned && !message.isEmpty()) {
            qWarning().noquote() << "Recording not started:" << message;
            if (startTrigger == StartTrigger::User)
                ask({SessionBox::Kind::Warning, tr("Recording failed!"), message, {}});
        }
        return false;
    }
    QString error;
    const CapturePlatform system = CapturePlatform::system();
    auto open = capturePlatform && capturePlatform->openStream ? capturePlatform->openStream
                                                               : system.openStream;
    std::unique_ptr<ScreenGrabber> grabber = open(fd, nodeId, &error);
    if (!grabber) {
        portal.reset();
        qWarning().noquote() << "Recording not started, the stream cannot be read:" << error;
        if (startTrigger == StartTrigger::User)
            ask({SessionBox::Kind::Warning,
                 tr("Recording failed!"),
                 tr("The shared screen or window cannot be read.") + QStringLiteral("\n\n") + error,
                 {}});
        return false;
    }
    videoThread->setStream(std::move(grabber), *size);
    return true;
}
