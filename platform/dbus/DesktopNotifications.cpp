#include "DesktopNotifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDebug>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");
// A service that does not answer in this time is as good as none: the caller falls back to a
// box, and the window must not wait longer than this.
constexpr int kCallTimeout_ms = 2000;

} // namespace

DBusDesktopNotifications::DBusDesktopNotifications(const QString& appName, const QString& icon,
                                                   QObject* parent)
    : QObject(parent), appName_(appName), icon_(icon)
{
}

bool DBusDesktopNotifications::notify(const QString& summary, const QString& body,
                                      const QString& clickLabel, std::function<void()> clicked)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    if (!listening_) {
        listening_ = bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                                 SLOT(onActionInvoked(uint, QString))) &&
                     bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"),
                                 this, SLOT(onClosed(uint, uint)));
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    if (!markup_) {
        const QDBusReply<QStringList> capabilities =
            bus.call(QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                    QStringLiteral("GetCapabilities")),
                     QDBus::Block, kCallTimeout_ms);
        if (!capabilities.isValid()) {
            qInfo().noquote() << "No desktop notification:" << capabilities.error().message();
            return false;
        }
        markup_ = capabilities.value().contains(QStringLiteral("body-markup"));
    }
    // A file name holding "<" or "&" must show as it is where the body is markup.
    call << appName_ << uint(0) << icon_ << summary << (*markup_ ? body.toHtmlEscaped() : body)
         << QStringList{kDefaultAction, clickLabel} << QVariantMap() << int(-1);
    const QDBusReply<uint> reply = bus.call(call, QDBus::Block, kCallTimeout_ms);
    if (!reply.isValid()) {
        qInfo().noquote() << "No desktop notification:" << reply.error().message();
        return false;
    }
    if (clicked)
        clicks_.insert(reply.value(), std::move(clicked));
    return true;
}

void DBusDesktopNotifications::onActionInvoked(uint id, const QString& action)
{
    // Signals of other programs' notifications arrive too; only ours are in the table.
    const auto click = clicks_.constFind(id);
    if (action != kDefaultAction || click == clicks_.constEnd())
        return;
    const std::function<void()> run = *click;
    run();
}

void DBusDesktopNotifications::onClosed(uint id, uint)
{
    clicks_.remove(id);
}
