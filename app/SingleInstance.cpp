#include "SingleInstance.h"

#include "platform/posix/PeerCredentials.h"
#include "platform/posix/PrivateFolder.h"
#include "platform/posix/UserFolders.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>

namespace {

constexpr int kLockWaitMs = 100;
constexpr int kSocketWaitMs = 1000;
// The longest word is seven letters: anything longer than this is not a request.
constexpr qint64 kMaxRequestBytes = 64;
constexpr qint64 kMaxAnswerBytes = 512;
// Clients are this user's own commands, one at a time; more at once are flooding.
constexpr qsizetype kMaxOpenConnections = 8;

QByteArray answerLine(bool ok, const QString& text)
{
    QByteArray bytes = text.toUtf8().left(kMaxAnswerBytes - 8);
    bytes.replace('\n', ' ').replace('\r', ' ');
    return (ok ? "ok " : "error ") + bytes + '\n';
}

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

bool SingleInstance::isKnownWord(const QByteArray& word)
{
    static const QByteArray words[] = {"show", "scheduled", "toggle", "start",
                                       "stop", "pause",     "resume", "status"};
    return std::find(std::begin(words), std::end(words), word) != std::end(words);
}

SingleInstance::SingleInstance()
    : base_(instanceBase()), lock_(base_ + QStringLiteral(".lock")),
      peerCheck_(platform::isOwnUsersLocalPeer)
{
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::tryLock()
{
    // A lock whose process is gone counts as stale at once, whatever its age.
    return lock_.tryLock(kLockWaitMs);
}

bool SingleInstance::acquire(const QByteArray& message)
{
    if (tryLock())
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

std::optional<SingleInstance::Answer> SingleInstance::ask(const QByteArray& word, int answerWaitMs)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(kSocketWaitMs) || !peerCheck_(socket.socketDescriptor()))
        return std::nullopt;
    socket.write(word + '\n');
    const QDeadlineTimer deadline(answerWaitMs);
    while (!socket.canReadLine() && socket.bytesAvailable() < kMaxAnswerBytes &&
           socket.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    const QByteArray line = socket.readLine(kMaxAnswerBytes).trimmed();
    if (line.startsWith("ok "))
        return Answer{true, QString::fromUtf8(line.sliced(3))};
    if (line.startsWith("error "))
        return Answer{false, QString::fromUtf8(line.sliced(6))};
    return Answer{false, QStringLiteral("no answer from Torvane")};
}

void SingleInstance::setPeerCheck(std::function<bool(qintptr descriptor)> check)
{
    peerCheck_ = std::move(check);
}

void SingleInstance::listen(QObject* context, Handler handler)
{
    // A socket file left by a process that died would refuse the name.
    QLocalServer::removeServer(socketPath());
    server_ = std::make_unique<QLocalServer>();
    // The socket file is for this user only; the folder it is in is private as well.
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(socketPath())) {
        qWarning().noquote() << "Single instance socket not available:" << server_->errorString();
        return;
    }
    QObject::connect(server_.get(), &QLocalServer::newConnection, context,
                     [this, handler = std::move(handler)] {
                         while (QLocalSocket* peer = server_->nextPendingConnection())
                             serve(peer, handler);
                     });
}

void SingleInstance::serve(QLocalSocket* peer, const Handler& handler)
{
    QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
    // The kernel says who connected: another user's process is not heard at all.
    if (server_->findChildren<QLocalSocket*>().size() > kMaxOpenConnections ||
        !peerCheck_(peer->socketDescriptor())) {
        qWarning() << "Single instance socket: connection refused";
        peer->abort();
        peer->deleteLater();
        return;
    }
    auto* limit = new QTimer(peer);
    limit->setSingleShot(true);
    QObject::connect(limit, &QTimer::timeout, peer, [peer] {
        qWarning() << "Single instance socket: no request in time";
        peer->abort();
        peer->deleteLater();
    });
    limit->start(requestTimeLimitMs_);
    QObject::connect(peer, &QLocalSocket::readyRead, peer, [peer, limit, handler] {
        if (!limit->isActive())
            return; // answered already: one request per connection
        if (!peer->canReadLine() && peer->bytesAvailable() < kMaxRequestBytes)
            return;
        limit->stop();
        const QByteArray line = peer->readLine(kMaxRequestBytes + 1);
        QByteArray reply;
        if (line.size() > kMaxRequestBytes || !line.endsWith('\n')) {
            reply = answerLine(false, QStringLiteral("request too long"));
        } else if (const QByteArray word = line.chopped(1); !isKnownWord(word)) {
            reply = answerLine(false, QStringLiteral("unknown command"));
        } else {
            // The handler may open a box with an event loop of its own, in which the client
            // may go away.
            const QPointer<QLocalSocket> guard(peer);
            const Answer answer = handler(word);
            if (!guard)
                return;
            reply = answerLine(answer.ok, answer.text);
        }
        peer->write(reply);
        peer->disconnectFromServer();
    });
}
