#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QString>

#include <functional>
#include <memory>

class QLocalServer;
class QObject;

// One running Torvane per user. The lock lives in the user's runtime folder (or else a private
// folder with the user id in its name in the temporary folder, or else the configuration
// folder), so other users can neither keep us out nor answer in our place; a lock left by a
// process that died is taken over. A second start asks the running one, through a local socket
// beside the lock, to bring its window to the front, and then ends.
class SingleInstance
{
public:
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when this process is the one running instance. Otherwise the running one has been
    // told of this start with message (no event loop needed).
    bool acquire(const QByteArray& message);

    // Calls onSecondStart with the message on context's thread each time another start is
    // refused. Needs the application object; call after acquire() succeeded.
    void listen(QObject* context, std::function<void(const QByteArray& message)> onSecondStart);

    QString lockPath() const { return base_ + QStringLiteral(".lock"); }
    QString socketPath() const { return base_ + QStringLiteral(".socket"); }

private:
    QString base_;
    QLockFile lock_;
    std::unique_ptr<QLocalServer> server_;
};
