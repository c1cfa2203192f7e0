#include "PortalGlobalShortcuts.h"

#include "PortalRequest.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDebug>

namespace {
const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
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
    : GlobalShortcuts(parent), bus_(bus),
      request_(new PortalRequest(std::move(bus), QStringLiteral("torvane_keys"), this))
{
    connect(request_, &PortalRequest::answered, this, &PortalGlobalShortcuts::onResponse);
    connect(request_, &PortalRequest::callFailed, this, [this](const QString& message) {
        qWarning().noquote() << "Global shortcuts failed:" << message;
        step_ = Step::Idle;
        setAll(Status::Unsupported);
    });
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
                {QVariantMap{{QStringLiteral("session_handle_token"), request_->newToken()}}});
    });
}

void PortalGlobalShortcuts::request(Step step, const QString& method, const QVariantList& args)
{
    step_ = step;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(args);
    request_->call(call);
}

void PortalGlobalShortcuts::onResponse(uint response, const QVariantMap& results)
{
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

void PortalGlobalShortcuts::closeSession()
{
    request_->cancel();
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
