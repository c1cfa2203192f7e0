#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QLocalServer;
class QObject;

// One running Torvane per user. The lock lives in the user's runtime folder (or else a private
// folder with the user id in its name in the temporary folder, or else the configuration
// folder), so other users can neither keep us out nor answer in our place; a lock left by a
// process that died is taken over. A second start asks the running one, through a local socket
// beside the lock, to bring its window to the front, and then ends; the command line asks it to
// start, pause or stop a recording the same way.
//
// The socket speaks one line each way: a known word ("start\n"), then "ok <text>\n" or
// "error <reason>\n". Whatever else arrives, from whoever, is treated as hostile: only this
// user's processes are heard, unknown words and long or slow requests are refused.
class SingleInstance
{
public:
    struct Answer
    {
        bool ok = true;
        QString text;
    };
    using Handler = std::function<Answer(const QByteArray& word)>;

    // "show" and "scheduled" come from plain starts; the others from the command line.
    static bool isKnownWord(const QByteArray& word);

    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when this process is the one running instance. Otherwise the running one has been
    // told of this start with message (no event loop needed).
    bool acquire(const QByteArray& message);
    // True when this process now holds the lock, without telling anyone.
    bool tryLock();
    void unlock() { lock_.unlock(); }

    // Asks the running instance (no event loop needed). Nullopt when none answers the socket.
    std::optional<Answer> ask(const QByteArray& word, int answerWaitMs = 10000);

    // Answers each request with handler, on context's thread. Needs the application object;
    // call after acquire() succeeded.
    void listen(QObject* context, Handler handler);

    // Seams for tests: who counts as this user, and how long a quiet client is kept.
    void setPeerCheck(std::function<bool(qintptr descriptor)> check);
    void setRequestTimeLimit(int milliseconds) { requestTimeLimitMs_ = milliseconds; }

    QString lockPath() const { return base_ + QStringLiteral(".lock"); }
    QString socketPath() const { return base_ + QStringLiteral(".socket"); }

private:
    QString base_;
    QLockFile lock_;
    std::unique_ptr<QLocalServer> server_;
    std::function<bool(qintptr descriptor)> peerCheck_;
    int requestTimeLimitMs_ = 2000;
    int openConnections_ = 0;

    void serve(class QLocalSocket* peer, const Handler& handler);
};
