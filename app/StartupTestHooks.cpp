#include "StartupTestHooks.h"

#include "platform/posix/CrashHandler.h"

#include <QByteArray>
#include <QDebug>
#include <QTimer>
#include <QtGlobal>

#include <iostream>

void StartupTestHooks::scheduleFromEnvironment()
{
    const QByteArray hook = qgetenv("TORVANE_TEST_HOOK");
    if (hook.isEmpty())
        return;
    QTimer::singleShot(0, [hook] {
        qDebug().noquote() << "Test hook:" << QString::fromLatin1(hook);
        if (hook == "crash") {
            CrashHandler::crashForTest();
        } else if (hook == "fatal") {
            qFatal("Test hook fatal message");
        } else if (hook == "stdio") {
            std::cout << "Test hook line on std::cout" << std::endl;
            std::cerr << "Test hook line on std::cerr" << std::endl;
        }
    });
}
