#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QVariantMap>

// One call to a desktop portal whose answer comes later, as the Response signal of a Request
// object. The options (the call's last argument) get a handle token, which names the Request's
// path in advance, so the answer is listened for before the call goes out and cannot be missed;
// a portal too old for the token answers on a path of its own, which is then followed. A new
// call, or cancel(), forgets the one before: its answer and its reply are no longer heard.
class PortalRequest : public QObject
{
    Q_OBJECT

public:
    // bus: the session bus, or a test's own; tokenPrefix names this program's requests.
    PortalRequest(QDBusConnection bus, QString tokenPrefix, QObject* parent = nullptr);

    void call(QDBusMessage message);
    void cancel();
    // A unique token for a portal's other handles, such as a session's.
    QString newToken();

Q_SIGNALS:
    // The portal's answer: 0 granted, 1 cancelled by the user, 2 ended otherwise.
    void answered(uint response, const QVariantMap& results);
    // The call itself failed; no answer will come.
    void callFailed(const QString& message);

private Q_SLOTS:
    void onResponse(uint response, const QVariantMap& results);

private:
    void listen(const QString& path);

    QDBusConnection bus_;
    QString tokenPrefix_;
    QString path_;
    quint64 calls_ = 0; // the reply of an earlier call is recognised by its number
};
