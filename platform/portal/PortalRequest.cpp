#include "PortalRequest.h"

#include <QCoreApplication>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kResponse = QStringLiteral("Response");
} // namespace

PortalRequest::PortalRequest(QDBusConnection bus, QString tokenPrefix, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), tokenPrefix_(std::move(tokenPrefix))
{
}

QString PortalRequest::newToken()
{
    static quint64 counter = 0;
    return QStringLiteral("%1%2_%3")
        .arg(tokenPrefix_)
        .arg(QCoreApplication::applicationPid())
        .arg(++counter);
}

void PortalRequest::call(QDBusMessage message)
{
    cancel();
    const quint64 number = ++calls_;
    const QString token = newToken();
    QString sender = bus_.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    listen(QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token));
    QVariantList args = message.arguments();
    QVariantMap options = args.isEmpty() ? QVariantMap() : args.takeLast().toMap();
    options.insert(QStringLiteral("handle_token"), token);
    args.append(options);
    message.setArguments(args);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, number](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                QDBusPendingReply<QDBusObjectPath> reply = *w;
                if (number != calls_ || path_.isEmpty())
                    return;
                if (reply.isError()) {
                    cancel();
                    Q_EMIT callFailed(reply.error().message());
                    return;
                }
                if (reply.value().path() != path_)
                    listen(reply.value().path());
            });
}

void PortalRequest::cancel()
{
    ++calls_;
    listen(QString());
}

void PortalRequest::listen(const QString& path)
{
    if (!path_.isEmpty())
        bus_.disconnect(QString(), path_, kRequest, kResponse, this,
                        SLOT(onResponse(uint, QVariantMap)));
    path_ = path;
    if (!path_.isEmpty())
        bus_.connect(QString(), path_, kRequest, kResponse, this,
                     SLOT(onResponse(uint, QVariantMap)));
}

void PortalRequest::onResponse(uint response, const QVariantMap& results)
{
    listen(QString());
    Q_EMIT answered(response, results);
}
