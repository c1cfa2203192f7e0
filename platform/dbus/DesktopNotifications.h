#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

// Desktop notifications: a message in the desktop's own notification area, clicked or not.
// The window talks to this interface; tests put a recorder in its place.
class DesktopNotifications
{
public:
    virtual ~DesktopNotifications() = default;
    // Shows summary and body (plain text); clicked runs when the user clicks the notification or
    // its button named clickLabel. False when no notification service answered (nothing is
    // shown then).
    virtual bool notify(const QString& summary, const QString& body, const QString& clickLabel,
                        std::function<void()> clicked) = 0;
};

// org.freedesktop.Notifications on the session bus, which GNOME, KDE, XFCE and the stand-alone
// daemons (dunst, mako) all serve. GUI thread only.
class DBusDesktopNotifications : public QObject, public DesktopNotifications
{
    Q_OBJECT

public:
    // appName and icon as the service shows them ("Torvane", "torvane").
    DBusDesktopNotifications(const QString& appName, const QString& icon,
                             QObject* parent = nullptr);

    bool notify(const QString& summary, const QString& body, const QString& clickLabel,
                std::function<void()> clicked) override;

private Q_SLOTS:
    void onActionInvoked(uint id, const QString& action);
    void onClosed(uint id, uint reason);

private:
    QString appName_;
    QString icon_;
    bool listening_ = false;
    std::optional<bool> markup_; // whether the service reads bodies as markup, once asked
    // What a click on each shown notification does, until it is closed.
    QHash<uint, std::function<void()>> clicks_;
};
