#include "RunLog.h"

#include <QFile>
#include <QMutex>
#include <QStandardPaths>
#include <QTextStream>

#include <cstdlib>
#include <fstream>
#include <iostream>

namespace {

QMutex g_logMutex;
// Created once and never destroyed: messages may still arrive while static objects are torn down.
QFile* g_logFile = nullptr;
QTextStream* g_logStream = nullptr;

// Owns the stream behind std::cout/std::cerr. Its destructor, run at exit, gives both their own
// buffers back before the file buffer goes away, since they are flushed after it.
struct StandardStreamRedirect
{
    std::ofstream file;
    std::streambuf* savedOut = nullptr;
    std::streambuf* savedErr = nullptr;

    ~StandardStreamRedirect()
    {
        if (savedOut)
            std::cout.rdbuf(savedOut);
        if (savedErr)
            std::cerr.rdbuf(savedErr);
    }
};

const char* tagFor(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "[DEBUG] ";
    case QtWarningMsg:
        return "[WARNING] ";
    case QtCriticalMsg:
        return "[CRITICAL] ";
    case QtFatalMsg:
        return "[FATAL] ";
    case QtInfoMsg:
        return "[INFO] ";
    }
    return "[DEBUG] ";
}

} // namespace

QString RunLog::directory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
           QStringLiteral("/Log");
}

QString RunLog::fileNameFor(const QDateTime& localTime)
{
    return QStringLiteral("qzt_") + localTime.toString(QStringLiteral("yyyyMMdd_HHmmss")) +
           QStringLiteral(".log");
}

QString RunLog::formatLine(QtMsgType type, const QString& message, const QDateTime& localTime)
{
    return localTime.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")) + QLatin1Char(' ') +
           QLatin1String(tagFor(type)) + message + QLatin1Char('\n');
}

bool RunLog::open(const QString& path)
{
    QMutexLocker lock(&g_logMutex);
    auto* file = new QFile(path);
    // Append mode on both writers (this file and the std::cout/std::cerr stream): without it
    // each would write at its own offset and overwrite the other's lines. Append does not
    // truncate, so an earlier log of the same second is cut explicitly.
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text) ||
        !file->resize(0)) {
        delete file;
        lock.unlock();
        qCritical().noquote() << "Failed to open log file: " + path;
        return false;
    }
    g_logFile = file;
    g_logStream = new QTextStream(g_logFile);
    return true;
}

void RunLog::installMessageHandler()
{
    qInstallMessageHandler(&RunLog::messageHandler);
}

void RunLog::redirectStandardStreams(const QString& path)
{
    static StandardStreamRedirect redirect;
    if (redirect.file.is_open())
        return;
    redirect.file.open(QFile::encodeName(path).toStdString(), std::ios::out | std::ios::app);
    // Without a log file the console is the better place for this output.
    if (!redirect.file.is_open())
        return;
    redirect.savedOut = std::cout.rdbuf(redirect.file.rdbuf());
    redirect.savedErr = std::cerr.rdbuf(redirect.file.rdbuf());
}

void RunLog::messageHandler(QtMsgType type, const QMessageLogContext& /*context*/,
                            const QString& message)
{
    QMutexLocker lock(&g_logMutex);
    if (!g_logFile || !g_logFile->isOpen())
        return;
    *g_logStream << formatLine(type, message, QDateTime::currentDateTime());
    g_logStream->flush();
    g_logFile->flush();
    if (type == QtFatalMsg)
        std::abort();
}
