#include "SingleInstance.h"

#include "platform/posix/PrivateFolder.h"
#include "platform/posix/UserFolders.h"

#include <QDebug>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

namespace {

constexpr int kLockWaitMs = 100;
constexpr int kSocketWaitMs = 1000;

QString instanceBase()
{
    const QString runtime = platform::userRuntimeFolder();
    if (!runtime.isEmpty() && platform::makePrivateFolder(runtime))
        return runtime + QStringLiteral("/Torvane");
    // Anyone may make this name in the shared temporary folder first, to hold a lock that keeps
    // every start out or to listen in our place: only a folder of our own is used.
    const QString temporary = QStandardPaths::writableLocation(QStandardPaths::TempLocation) +
                              QStringLiteral("/Torvane-%1").arg(platform::userId());
    if (platform::makePrivateFolder(temporary))
        return temporary + QStringLiteral("/Torvane");
    // Not AppConfigLocation: that needs the application object, which does not exist yet.
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                           QStringLiteral("/torvane");
    qWarning().noquote() << temporary << "is not a private folder of this user: the lock is kept in"
                         << config;
    QDir().mkpath(config);
    return config + QStringLiteral("/Torvane");
}

} // namespace

SingleInstance::SingleInstance() : base_(instanceBase()), lock_(base_ + QStringLiteral(".lock")) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::acquire(const QByteArray& message)
{
    // A lock whose process is gone counts as stale at once, whatever its age.
    if (lock_.tryLock(kLockWaitMs))
        return true;
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (socket.waitForConnected(kSocketWaitMs)) {
        socket.write(message + '\n');
        socket.waitForBytesWritten(kSocketWaitMs);
        socket.disconnectFromServer();
    }
    return false;
}

void SingleInstance::listen(QObject* context,
                            std::function<void(const QByteArray& message)> onSecondStart)
{
    // A socket file left by a process that died would refuse the name.
    QLocalServer::removeServer(socketPath());
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(socketPath())) {
        qWarning().noquote() << "Single instance socket not available:" << server_->errorString();
        return;
    }
    QObject::connect(
        server_.get(), &QLocalServer::newConnection, context,
        [this, onSecondStart = std::move(onSecondStart)] {
            while (QLocalSocket* peer = server_->nextPendingConnection()) {
                // The message comes as one line right after the connection.
                QObject::connect(peer, &QLocalSocket::readyRead, peer, [peer, onSecondStart] {
                    if (peer->canReadLine())
                        onSecondStart(peer->readLine().trimmed());
                });
                QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            }
        });
}
