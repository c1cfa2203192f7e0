// On a display without the Composite extension the composite grabber is refused with the reason
// the capture thread needs for its fallback, while the compatible grabber still works.
#include "platform/ScreenGrabber.h"

#include "support/PrivateXServer.h"

#include <QtTest>

class tst_X11NoComposite : public QObject
{
    Q_OBJECT

private slots:
    void compositeRefused();
};

void tst_X11NoComposite::compositeRefused()
{
    if (!testsupport::PrivateXServer::available())
        QSKIP("Xvfb is not installed.");
    testsupport::PrivateXServer server(QSize(320, 240),
                                       {QStringLiteral("-extension"), QStringLiteral("Composite")});
    QVERIFY(server.start());

    const QByteArray saved = qgetenv("DISPLAY");
    qputenv("DISPLAY", server.display());
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
}

QTEST_GUILESS_MAIN(tst_X11NoComposite)
#include "tst_X11NoComposite.moc"
