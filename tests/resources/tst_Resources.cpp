#include <QDirIterator>
#include <QFontDatabase>
#include <QImage>
#include <QRawFont>
#include <QRegularExpression>
#include <QtTest>

// Every resource the program's code and forms name is compiled in and usable.
class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void everyNamedResourceIsCompiledIn()
    {
        QSet<QString> named;
        static const QRegularExpression resource(":/resources/[^\"<)\\s]+");
        QDirIterator files(TORVANE_SOURCE_DIR, {"*.cpp", "*.h", "*.ui"}, QDir::Files,
                           QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            QFile file(path);
            if (path.contains("/tests/") || path.contains("/build") ||
                !file.open(QIODevice::ReadOnly))
                continue;
            for (const auto& match : resource.globalMatch(QString::fromUtf8(file.readAll())))
                named.insert(match.captured());
        }
        QVERIFY(named.size() > 10);
        for (const QString& path : std::as_const(named)) {
            if (path.endsWith(".ttf")) {
                const int id = QFontDatabase::addApplicationFont(path);
                QVERIFY2(id >= 0, qPrintable(path));
                QFile font(path);
                QVERIFY(font.open(QIODevice::ReadOnly));
                const QRawFont raw(font.readAll(), 12);
                QVERIFY(raw.supportsCharacter(QChar(0xF05A))); // info circle, the About button
                QVERIFY(raw.supportsCharacter(QChar(0xF059))); // question circle, the Help button
            } else {
                QVERIFY2(!QImage(path).isNull(), qPrintable(path));
            }
        }
    }
};

QTEST_MAIN(tst_Resources)
#include "tst_Resources.moc"
