#pragma once

#include "platform/GlobalShortcuts.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QVariantMap>

class PortalRequest;
class QDBusPendingCallWatcher;

// One shortcut as the GlobalShortcuts portal passes it: (sa{sv}).
struct PortalShortcut
{
    QString id;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(PortalShortcut)
QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut);

// Global shortcuts on Wayland through the desktop's org.freedesktop.portal.GlobalShortcuts: a
// session is made, the shortcuts are bound to it (the desktop asks the user to confirm them and
// may change the keys), and the portal's Activated signal names the one pressed. Where the
// portal has no such interface every shortcut is Unsupported.
class PortalGlobalShortcuts : public GlobalShortcuts
{
    Q_OBJECT

public:
    // bus: the session bus; tests pass one of their own.
    explicit PortalGlobalShortcuts(QDBusConnection bus = QDBusConnection::sessionBus(),
                                   QObject* parent = nullptr);
    // Closes the session, which releases the shortcuts.
    ~PortalGlobalShortcuts() override;

    void setShortcuts(const QList<Shortcut>& shortcuts) override;

    // The portal's form of keys, for example "CTRL+ALT+r"; empty for more than one key.
    static QString trigger(const QKeySequence& keys);

private Q_SLOTS:
    void onResponse(uint response, const QVariantMap& results);
    void onActivated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp,
                     const QVariantMap& options);

private:
    enum class Step { Idle, CreateSession, BindShortcuts };

    void request(Step step, const QString& method, const QVariantList& args);
    void closeSession();
    void setAll(Status status);

    QDBusConnection bus_;
    Step step_ = Step::Idle;
    QList<Shortcut> shortcuts_;
    PortalRequest* request_;
    QDBusObjectPath session_;
};
