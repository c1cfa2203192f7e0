#include "PortalGlobalShortcuts.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDebug>

namespace {
const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

QString newToken()
{
    static std::uint64_t counter = 0;
    return QStringLiteral("torvane_keys%1_%2")
        .arg(QCoreApplication::applicationPid())
        .arg(++counter);
}
} // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

PortalGlobalShortcuts::PortalGlobalShortcuts(QDBusConnection bus, QObject* parent)
    : GlobalShortcuts(parent), bus_(std::move(bus))
{
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    // The string-based connect below finds the slot's argument types by name.
    qRegisterMetaType<QDBusObjectPath>();
    bus_.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                 SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
}

PortalGlobalShortcuts::~PortalGlobalShortcuts()
{
    closeSession();
}

QString PortalGlobalShortcuts::trigger(const QKeySequence& keys)
{
    if (keys.count() != 1)
        return {};
    const Qt::KeyboardModifiers modifiers = keys[0].keyboardModifiers();
    QStringList parts;
    if (modifiers & Qt::ControlModifier)
        parts << QStringLiteral("CTRL");
    if (modifiers & Qt::AltModifier)
        parts << QStringLiteral("ALT");
    if (modifiers & Qt::ShiftModifier)
        parts << QStringLiteral("SHIFT");
    if (modifiers & Qt::MetaModifier)
        parts << QStringLiteral("LOGO");
    // Keys are named as keysyms, whose letters are the lower-case ones.
    const QString key = QKeySequence(keys[0].key()).toString(QKeySequence::PortableText);
    parts << (key.size() == 1 ? key.toLower() : key);
    return parts.join(QLatin1Char('+'));
}

void PortalGlobalShortcuts::setShortcuts(const QList<Shortcut>& shortcuts)
{
    closeSession();
    shortcuts_ = shortcuts;
    if (shortcuts_.isEmpty()) {
        setAll(Status::Unsupported);
        return;
    }
    setAll(Status::Pending);
    step_ = Step::CreateSession;
    // Desktops without the interface (GNOME before 48) answer this with an error.
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kInterface << QStringLiteral("version");
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(get), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<QDBusVariant> reply = *w;
        if (step_ != Step::CreateSession)
            return;
        if (reply.isError()) {
            qInfo().noquote() << "The desktop offers no global shortcuts:"
                              << reply.error().message();
            step_ = Step::Idle;
            setAll(Status::Unsupported);
            return;
        }
        request(Step::CreateSession, QStringLiteral("CreateSession"),
                {QVariantMap{{QStringLiteral("session_handle_token"), newToken()}}});
    });
}

void PortalGlobalShortcuts::request(Step step, const QString& method, QVariantList args)
{
    step_ = step;
    unsubscribe();
    const QString token = newToken();
    // Subscribed before the call, so that the answer cannot come before anyone listens.
    QString sender = bus_.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    requestPath_ =
        QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    bus_.connect(QString(), requestPath_, kRequest, QStringLiteral("Response"), this,
                 SLOT(onResponse(uint, QVariantMap)));
    QVariantMap options = args.takeLast().toMap();
    options.insert(QStringLiteral("handle_token"), token);
    args.append(options);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(args);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, step](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                QDBusPendingReply<QDBusObjectPath> reply = *w;
                if (step_ != step)
                    return;
                if (reply.isError()) {
                    qWarning().noquote() << "Global shortcuts failed:" << reply.error().message();
                    step_ = Step::Idle;
                    setAll(Status::Unsupported);
                    return;
                }
                // Portals older than the handle_token option answer on a path of their own.
                if (reply.value().path() != requestPath_) {
                    unsubscribe();
                    requestPath_ = reply.value().path();
                    bus_.connect(QString(), requestPath_, kRequest, QStringLiteral("Response"),
                                 this, SLOT(onResponse(uint, QVariantMap)));
                }
            });
}

void PortalGlobalShortcuts::onResponse(uint response, const QVariantMap& results)
{
    unsubscribe();
    const Step step = step_;
    step_ = Step::Idle;
    if (response != 0) {
        qWarning() << "The desktop refused the global shortcuts, answer" << response;
        setAll(Status::Unsupported);
        return;
    }
    if (step == Step::CreateSession) {
        session_ = QDBusObjectPath(results.value(QStringLiteral("session_handle")).toString());
        QList<PortalShortcut> list;
        for (const Shortcut& shortcut : shortcuts_)
            list.append({shortcut.id,
                         {{QStringLiteral("description"), shortcut.description},
                          {QStringLiteral("preferred_trigger"), trigger(shortcut.keys)}}});
        request(
            Step::BindShortcuts, QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(session_), QVariant::fromValue(list), QString(), QVariantMap()});
        return;
    }
    if (step != Step::BindShortcuts)
        return;
    // The desktop lists the shortcuts the user kept; one left out will never be activated.
    QHash<QString, Status> statuses;
    for (const Shortcut& shortcut : shortcuts_)
        statuses.insert(shortcut.id, Status::Unsupported);
    const QList<PortalShortcut> bound =
        qdbus_cast<QList<PortalShortcut>>(results.value(QStringLiteral("shortcuts")));
    for (const PortalShortcut& shortcut : bound)
        if (statuses.contains(shortcut.id))
            statuses.insert(shortcut.id, Status::Active);
    setStatuses(statuses);
}

void PortalGlobalShortcuts::onActivated(const QDBusObjectPath& session, const QString& id,
                                        qulonglong, const QVariantMap&)
{
    if (session == session_ && !session_.path().isEmpty() && status(id) == Status::Active)
        Q_EMIT activated(id);
}

void PortalGlobalShortcuts::unsubscribe()
{
    if (requestPath_.isEmpty())
        return;
    bus_.disconnect(QString(), requestPath_, kRequest, QStringLiteral("Response"), this,
                    SLOT(onResponse(uint, QVariantMap)));
    requestPath_.clear();
}

void PortalGlobalShortcuts::closeSession()
{
    unsubscribe();
    step_ = Step::Idle;
    if (!session_.path().isEmpty())
        bus_.send(QDBusMessage::createMethodCall(kService, session_.path(), kSession,
                                                 QStringLiteral("Close")));
    session_ = QDBusObjectPath();
}

void PortalGlobalShortcuts::setAll(Status status)
{
    QHash<QString, Status> statuses;
    for (const Shortcut& shortcut : shortcuts_)
        statuses.insert(shortcut.id, status);
    setStatuses(statuses);
}
