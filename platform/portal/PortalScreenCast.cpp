#include "PortalScreenCast.h"

#include "PortalRequest.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDebug>

#include <fcntl.h>
#include <unistd.h>

namespace {
const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
// Portal cursor modes (bit values of AvailableCursorModes).
constexpr std::uint32_t kCursorHidden = 1;
constexpr std::uint32_t kCursorEmbedded = 2;
// The selection stays valid until the user revokes it, not only for this run of the program.
constexpr std::uint32_t kPersistUntilRevoked = 2;
constexpr uint kResponseCancelled = 1;

QDBusConnection bus()
{
    return QDBusConnection::sessionBus();
}

QDBusMessage screenCastCall(const QString& method)
{
    return QDBusMessage::createMethodCall(kService, kPath, kScreenCast, method);
}

// A (ii) structure of a stream's properties; invalid when absent.
QPoint intPair(const QVariant& value, bool* found)
{
    *found = value.canConvert<QDBusArgument>();
    if (!*found)
        return {};
    const QDBusArgument arg = value.value<QDBusArgument>();
    int first = 0;
    int second = 0;
    arg.beginStructure();
    arg >> first >> second;
    arg.endStructure();
    return {first, second};
}
} // namespace

PortalScreenCast::PortalScreenCast(QObject* parent)
    : QObject(parent), request_(new PortalRequest(bus(), QStringLiteral("torvane"), this))
{
    connect(request_, &PortalRequest::answered, this, &PortalScreenCast::onResponse);
    connect(request_, &PortalRequest::callFailed, this, &PortalScreenCast::fail);
    // A portal that goes away in the middle of a request would otherwise leave it waiting.
    auto* watcher =
        new QDBusServiceWatcher(kService, bus(), QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        if (step_ != Step::Idle)
            fail(QStringLiteral("the portal service ended"));
    });
}

PortalScreenCast::~PortalScreenCast()
{
    close();
}

bool PortalScreenCast::isWaylandSession()
{
    return qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
           !qEnvironmentVariable("WAYLAND_DISPLAY").isEmpty();
}

void PortalScreenCast::closeConnection(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

void PortalScreenCast::start(Source source, bool embedCursor, const QString& restoreToken)
{
    if (step_ != Step::Idle || !bus().isConnected()) {
        Q_EMIT failed(tr("The desktop's screen sharing could not start, so nothing is recorded.") +
                          QStringLiteral("\n\n") +
                          (bus().isConnected() ? QStringLiteral("A request is already running.")
                                               : bus().lastError().message()),
                      false);
        return;
    }
    close();
    source_ = source;
    embedCursor_ = embedCursor;
    restoreToken_ = restoreToken;
    step_ = Step::CreateSession;
    // The cursor modes are known before the session is made, so that SelectSources asks only
    // for one the desktop has.
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kScreenCast << QStringLiteral("AvailableCursorModes");
    auto* call = new QDBusPendingCallWatcher(bus().asyncCall(get), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, &PortalScreenCast::onCursorModes);
}

void PortalScreenCast::onCursorModes(QDBusPendingCallWatcher* call)
{
    call->deleteLater();
    QDBusPendingReply<QDBusVariant> reply = *call;
    if (step_ != Step::CreateSession)
        return;
    // A portal without the property (version 1) knows only the hidden cursor.
    cursorModes_ = reply.isError() ? kCursorHidden : reply.value().variant().toUInt();
    const QString sessionToken = request_->newToken();
    request(Step::CreateSession, QStringLiteral("CreateSession"),
            {QVariantMap{{QStringLiteral("session_handle_token"), sessionToken}}});
}

void PortalScreenCast::request(Step step, const QString& method, const QVariantList& args)
{
    step_ = step;
    QDBusMessage call = screenCastCall(method);
    call.setArguments(args);
    request_->call(call);
}

void PortalScreenCast::onResponse(uint response, const QVariantMap& results)
{
    if (response == kResponseCancelled) {
        qInfo() << "Screen sharing dialog cancelled.";
        step_ = Step::Idle;
        close();
        Q_EMIT failed(tr("Screen sharing was cancelled, so nothing is recorded."), true);
        return;
    }
    if (response != 0) {
        fail(QStringLiteral("the desktop refused the request (answer %1)").arg(response));
        return;
    }
    switch (step_) {
    case Step::CreateSession: {
        session_ = QDBusObjectPath(results.value(QStringLiteral("session_handle")).toString());
        QVariantMap options{
            {QStringLiteral("types"), static_cast<std::uint32_t>(source_)},
            {QStringLiteral("multiple"), false},
            {QStringLiteral("persist_mode"), kPersistUntilRevoked},
        };
        const std::uint32_t wanted = embedCursor_ ? kCursorEmbedded : kCursorHidden;
        if (cursorModes_ & wanted)
            options.insert(QStringLiteral("cursor_mode"), wanted);
        usedToken_ = !restoreToken_.isEmpty();
        if (usedToken_)
            options.insert(QStringLiteral("restore_token"), restoreToken_);
        request(Step::SelectSources, QStringLiteral("SelectSources"),
                {QVariant::fromValue(session_), options});
        break;
    }
    case Step::SelectSources:
        request(Step::Start, QStringLiteral("Start"),
                {QVariant::fromValue(session_), QString(), QVariantMap()});
        break;
    case Step::Start:
        onStarted(results);
        break;
    case Step::Idle:
    case Step::OpenRemote:
        break;
    }
}

void PortalScreenCast::onStarted(const QVariantMap& results)
{
    const QString token = results.value(QStringLiteral("restore_token")).toString();
    if (!token.isEmpty())
        Q_EMIT restoreTokenChanged(token);

    bool found = false;
    const QVariant streams = results.value(QStringLiteral("streams"));
    if (streams.canConvert<QDBusArgument>()) {
        const QDBusArgument arg = streams.value<QDBusArgument>();
        arg.beginArray();
        if (!arg.atEnd()) {
            QVariantMap properties;
            arg.beginStructure();
            arg >> nodeId_ >> properties;
            arg.endStructure();
            found = true;
            bool known = false;
            const QPoint size = intPair(properties.value(QStringLiteral("size")), &known);
            size_ = known ? QSize(size.x(), size.y()) : QSize();
            position_ = intPair(properties.value(QStringLiteral("position")), &known);
        }
        arg.endArray();
    }
    if (!found) {
        fail(QStringLiteral("no stream was shared"));
        return;
    }
    openRemote();
}

void PortalScreenCast::openRemote()
{
    step_ = Step::OpenRemote;
    QDBusMessage call = screenCastCall(QStringLiteral("OpenPipeWireRemote"));
    call << QVariant::fromValue(session_) << QVariantMap();
    auto* watcher = new QDBusPendingCallWatcher(bus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
        if (step_ != Step::OpenRemote)
            return;
        if (reply.isError()) {
            fail(reply.error().message());
            return;
        }
        // The reply closes its descriptor when it goes; the receiver gets a copy of its own.
        const int fd = fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            fail(QStringLiteral("no PipeWire connection"));
            return;
        }
        step_ = Step::Idle;
        qInfo().nospace() << "Screen cast started: PipeWire node " << nodeId_ << ", " << size_
                          << " at " << position_;
        Q_EMIT ready(fd, nodeId_, size_, position_);
    });
}

void PortalScreenCast::fail(const QString& detail)
{
    qWarning().noquote() << "Screen cast portal:" << detail;
    // A token the desktop rejects would fail every later request too.
    if (step_ == Step::SelectSources && usedToken_)
        Q_EMIT restoreTokenChanged(QString());
    step_ = Step::Idle;
    close();
    Q_EMIT failed(tr("The desktop's screen sharing could not start, so nothing is recorded.") +
                      QStringLiteral("\n\n") + detail,
                  false);
}

void PortalScreenCast::close()
{
    request_->cancel();
    step_ = Step::Idle;
    if (session_.path().isEmpty())
        return;
    bus().send(QDBusMessage::createMethodCall(kService, session_.path(), kSession,
                                              QStringLiteral("Close")));
    session_ = QDBusObjectPath();
}
