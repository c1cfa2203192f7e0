#include "CrashBox.h"

#include "base/LanguageManager.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstring>
#include <iostream>

namespace {

// Finds the box once it is up, reports what it shows and presses OK.
void autoCloseWhenShown()
{
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (!box || !box->isVisible())
                continue;
            std::cout << "Crash box shown: " << box->windowTitle().toStdString() << " | "
                      << box->text().toStdString() << std::endl;
            poll->stop();
            if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
            return;
        }
    });
    poll->start(20);
}

} // namespace

bool CrashBox::isRequested(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], kSwitch) == 0)
            return true;
    }
    return false;
}

int CrashBox::run(int argc, char** argv)
{
    QApplication app(argc, argv);
    LanguageManager::instance().installWithSavedLanguage();

    if (qEnvironmentVariable("TORVANE_TEST_CRASH_BOX") == QLatin1String("autoclose"))
        autoCloseWhenShown();

    QMessageBox::critical(
        nullptr, QCoreApplication::translate("main", "AppCrash"),
        QCoreApplication::translate(
            "main", "The application has crashed. The file crash.dmp has been created."));
    return 0;
}
