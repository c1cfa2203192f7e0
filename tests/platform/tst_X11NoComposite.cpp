// On a display without the Composite extension the composite grabber is refused with the reason
// the capture thread needs for its fallback, while the compatible grabber still works.
#include "platform/ScreenGrabber.h"

#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

class tst_X11NoComposite : public QObject
{
    Q_OBJECT

private slots:
    void compositeRefused();
};

void tst_X11NoComposite::compositeRefused()
{
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
        QSKIP("Xvfb is not installed.");
    // A private server that picks a free display number and prints it; no reset when the last
    // client leaves, so the second connection finds it ready.
    QProcess server;
    server.start(QStringLiteral("Xvfb"),
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                  QStringLiteral("0"), QStringLiteral("320x240x24"), QStringLiteral("-nolisten"),
                  QStringLiteral("tcp"), QStringLiteral("-noreset"), QStringLiteral("-extension"),
                  QStringLiteral("Composite")});
    QVERIFY(server.waitForStarted(10000));
    QByteArray number;
    QTRY_VERIFY_WITH_TIMEOUT((number += server.readAllStandardOutput()).endsWith('\n'), 15000);

    const QByteArray saved = qgetenv("DISPLAY");
    qputenv("DISPLAY", ":" + number.trimmed());
    QString error;
    const auto composite = ScreenGrabber::create(ScreenGrabber::Kind::Composite, &error);
    QString compatibleError;
    auto compatible = ScreenGrabber::create(ScreenGrabber::Kind::Compatible, &compatibleError);
    qputenv("DISPLAY", saved);

    QVERIFY(!composite);
    QCOMPARE(error, QStringLiteral("Composite not available"));
    QVERIFY2(compatible, qPrintable(compatibleError));
    QVERIFY(compatible->setScreenRect(QRect(0, 0, 320, 240)));
    VideoFramePool pool;
    SharedFrame frame;
    QCOMPARE(compatible->grab(pool, &frame), ScreenGrabber::Result::Frame);
    QCOMPARE(QSize(frame->width, frame->height), QSize(320, 240));
    compatible.reset();

    server.terminate();
    QVERIFY(server.waitForFinished(10000));
}

QTEST_GUILESS_MAIN(tst_X11NoComposite)
#include "tst_X11NoComposite.moc"
