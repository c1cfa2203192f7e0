// Without a reachable X display the platform layer reports why and returns nothing.
#include "platform/ScreenGrabber.h"
#include "platform/WindowSystem.h"

#include <QtTest>

class tst_X11NoDisplay : public QObject
{
    Q_OBJECT

private slots:
    void createFailsCleanly_data();
    void createFailsCleanly();
};

void tst_X11NoDisplay::createFailsCleanly_data()
{
    QTest::addColumn<QByteArray>("display");
    QTest::addColumn<QString>("expectedError");
    QTest::newRow("unset") << QByteArray() << QStringLiteral("DISPLAY is not set");
    // A display number no server listens on.
    QTest::newRow("no server") << QByteArray(":987")
                               << QStringLiteral("Cannot open the X display :987");
}

void tst_X11NoDisplay::createFailsCleanly()
{
    QFETCH(QByteArray, display);
    QFETCH(QString, expectedError);
    const QByteArray saved = qgetenv("DISPLAY");
    if (display.isEmpty())
        qunsetenv("DISPLAY");
    else
        qputenv("DISPLAY", display);

    QString error;
    QVERIFY(!WindowSystem::create(&error));
    QVERIFY2(error.contains(expectedError), qPrintable(error));
    for (auto kind : {ScreenGrabber::Kind::Compatible, ScreenGrabber::Kind::SharedMemory,
                      ScreenGrabber::Kind::Composite}) {
        error.clear();
        QVERIFY(!ScreenGrabber::create(kind, &error));
        QVERIFY2(error.contains(expectedError), qPrintable(error));
    }

    if (saved.isEmpty())
        qunsetenv("DISPLAY");
    else
        qputenv("DISPLAY", saved);
}

QTEST_GUILESS_MAIN(tst_X11NoDisplay)
#include "tst_X11NoDisplay.moc"
