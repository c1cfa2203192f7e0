#include "PrivateXServer.h"

#include <QDeadlineTimer>
#include <QStandardPaths>

namespace testsupport {

PrivateXServer::PrivateXServer(QSize size, const QStringList& extraArguments)
    : size_(size), extraArguments_(extraArguments)
{
}

PrivateXServer::~PrivateXServer()
{
    if (server_.state() == QProcess::NotRunning)
        return;
    server_.terminate();
    if (!server_.waitForFinished(10000))
        server_.kill();
}

bool PrivateXServer::available()
{
    return !QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty();
}

bool PrivateXServer::start()
{
    // -displayfd 1: the server picks a free number and prints it once it accepts connections.
    QStringList arguments = {QStringLiteral("-displayfd"),
                             QStringLiteral("1"),
                             QStringLiteral("-screen"),
                             QStringLiteral("0"),
                             QStringLiteral("%1x%2x24").arg(size_.width()).arg(size_.height()),
                             QStringLiteral("-nolisten"),
                             QStringLiteral("tcp"),
                             QStringLiteral("-noreset")};
    arguments += extraArguments_;
    server_.start(QStringLiteral("Xvfb"), arguments);
    if (!server_.waitForStarted(10000))
        return false;
    QByteArray number;
    const QDeadlineTimer deadline(15000);
    while (!number.endsWith('\n')) {
        if (deadline.hasExpired() || server_.state() == QProcess::NotRunning)
            return false;
        server_.waitForReadyRead(100);
        number += server_.readAllStandardOutput();
    }
    display_ = ":" + number.trimmed();
    return true;
}

} // namespace testsupport
