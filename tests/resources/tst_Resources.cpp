#include <QFontDatabase>
#include <QImage>
#include <QRawFont>
#include <QtTest>

class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void everyIconIsCompiledIn_data();
    void everyIconIsCompiledIn();
    void iconFontHasTheAboutAndHelpGlyphs();
};

void tst_Resources::everyIconIsCompiledIn_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("size");

    for (const char* name :
         {"red.png", "green.png", "mute.png", "speaker-filled-audio-tool.png", "folder.png",
          "folder-gray.png", "restore-down.png", "restore-down-gray.png", "quit.png",
          "capture_normal.png", "capture-hover.png", "capture-enabled.png"})
        QTest::newRow(name) << QStringLiteral(":/resources/%1").arg(name) << 64;
    QTest::newRow("QZT-32.png") << ":/resources/QZT-32.png" << 32;
    QTest::newRow("QZT-256.png") << ":/resources/QZT-256.png" << 256;
}

void tst_Resources::everyIconIsCompiledIn()
{
    QFETCH(QString, path);
    QFETCH(int, size);

    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    QCOMPARE(image.size(), QSize(size, size));
    QVERIFY(image.hasAlphaChannel());
    // Drawn on a transparent ground: the corners show the window behind, the middle shows ink.
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    int opaque = 0;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            opaque += qAlpha(argb.pixel(x, y)) > 128;
    QVERIFY2(opaque > size * size / 20, "icon has visible content");
    if (!path.contains("QZT"))
        QCOMPARE(qAlpha(argb.pixel(0, 0)), 0);
}

void tst_Resources::iconFontHasTheAboutAndHelpGlyphs()
{
    const QString path = ":/resources/font/fontawesome-webfont.ttf";
    const int id = QFontDatabase::addApplicationFont(path);
    QVERIFY(id >= 0);
    QVERIFY(!QFontDatabase::applicationFontFamilies(id).isEmpty());

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QRawFont font(file.readAll(), 12);
    QVERIFY(font.isValid());
    QVERIFY(font.supportsCharacter(QChar(0xF05A))); // info circle, the About button
    QVERIFY(font.supportsCharacter(QChar(0xF059))); // question circle, the Help button
}

QTEST_MAIN(tst_Resources)
#include "tst_Resources.moc"
