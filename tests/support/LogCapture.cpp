#include "LogCapture.h"

#include <QMutex>

#include <utility>

namespace testsupport {

namespace {

QMutex mutex;
QStringList lines;
QtMessageHandler previousHandler = nullptr;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    {
        QMutexLocker lock(&mutex);
        lines.append(text);
    }
    if (type != QtDebugMsg && previousHandler)
        previousHandler(type, context, text);
}

} // namespace

LogCapture::LogCapture()
{
    take();
    previousHandler = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previousHandler);
}

QStringList LogCapture::take()
{
    QMutexLocker lock(&mutex);
    return std::exchange(lines, {});
}

} // namespace testsupport
