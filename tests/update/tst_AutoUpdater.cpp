// The version file rules, and checks and downloads against an HTTP server on 127.0.0.1: the boxes
// shown, the installer saved and started, and the quit that follows.
#include "support/TestSupport.h"
#include "update/AutoUpdater.h"
#include "update/VersionFile.h"

#include <QCryptographicHash>
#include <QProgressDialog>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kCurrent = QStringLiteral("2026.7.25.22");
const QString kOffer = QStringLiteral("Update Available: A new version 2026.8 is available. "
                                      "Download now?");
const QString kNoUpdate = QStringLiteral("Update: No update available");
const QString kUnreachable = QStringLiteral("Update: The release site could not be reached:");
const QString kClosing =
    QStringLiteral("Update: Version 2026.8 has been downloaded. Torvane closes");

QProgressDialog* progressDialog()
{
    return qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
}

} // namespace

class tst_AutoUpdater : public QObject
{
    Q_OBJECT

    QTemporaryDir tempRoot;
    QTcpServer server;
    QHash<QByteArray, QByteArray> bodies;
    QStringList boxes;
    bool answerYes = false;
    QStringList launched;
    int quits = 0;

    const AutoUpdater::Launcher recordLaunch = [this](const QString& program) {
        launched << program;
        return true;
    };

private slots:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        // Answers GET requests by path. /moved redirects to its body. /hang sends its headers, half
        // its body a moment later (late enough to pass Qt's throttling of progress signals), then
        // nothing more.
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine())
                    return;
                const QByteArray path = socket->readLine().split(' ').value(1);
                disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
                const QByteArray body = bodies.value(path);
                const QByteArray status =
                    path == "/moved" ? "302 Found\r\nLocation: " + body + "\r\n" : "200 OK\r\n";
                socket->write("HTTP/1.1 " + status + "Connection: close\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\n\r\n");
                if (path == "/hang")
                    return QTimer::singleShot(150, socket,
                                              [=] { socket->write(body.left(body.size() / 2)); });
                socket->write(body);
                socket->disconnectFromHost();
            });
        });
        AutoUpdater::setBoxHandler(
            [this](QMessageBox::Icon, const QString& title, const QString& text) {
                boxes << title + QStringLiteral(": ") + text;
                return answerYes;
            });
        AutoUpdater::setLauncher(recordLaunch);
        AutoUpdater::setQuitter([this] { ++quits; });
    }

    // The question box shows the offered version, so its trimming is checked there.
    void versionFileRules_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("newer");
        QTest::newRow("second part") << "Version: 2026.8" << true;
        QTest::newRow("fourth part") << "Version:2026.7.25.23" << true;
        QTest::newRow("same") << "Version: 2026.7.25.22" << false;
        QTest::newRow("fifth part ignored") << "Version: 2026.7.25.22.9" << false;
        QTest::newRow("padded with 0") << "Version: 2026.7.25" << false;
        QTest::newRow("empty part is 0") << "Version: 2026..99.99" << false;
        QTest::newRow("text is 0") << "Version: 2027.beta" << true;
        QTest::newRow("lower case ignored") << "version: 2099" << false;
        QTest::newRow("later wins, CRLF, unknown lines")
            << "Version: 2099\r\nChannel: b\r\n\r\nVersion: 2026.7.25.21\r\n"
            << false;
    }
    void versionFileRules()
    {
        QFETCH(QString, body);
        QTEST(isNewerVersion(VersionFile::parse(body.toUtf8()).version, kCurrent), "newer");
    }

    // One check per row against the test server ("%s" in the endpoint and the version file),
    // answered Yes when the file names an installer. The boxes expected are prefixes; mode is
    // silent, run (the real start of the installer) or cancel (the download).
    void updateFlow_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("endpoint");
        const auto row = [](const char* name, const QString& file, const QStringList& expected,
                            const char* mode = "", const char* endpoint = "%s/version") {
            QTest::newRow(name) << file << expected << mode << endpoint;
        };
        const QString offer = "Version: 2026.8\nDownloadURL: ";
        const QString failed = "Download Failed: ";
        row("newer, declined", "Version: 2026.8", {kOffer});
        row("same", "Version: 2026.7.25.22", {kNoUpdate});
        row("same, silent", "Version: 2026.7.25.22", {}, "silent");
        row("malformed", "<html>404</html>", {kNoUpdate});
        row("check hangs", "", {kUnreachable + "\nThe server did not answer."}, "", "%s/hang");
        row("check elsewhere refused, silent", "", {}, "silent", "http://192.0.2.1/version");
        row("installed", offer + "%s/installer", {kOffer, kClosing});
        row("checksum matches, run", offer + "%s/installer\nSHA256: %sha", {kOffer, kClosing},
            "run");
        row("checksum mismatch", offer + "%s/installer\nSHA256: " + QString(64, '0'),
            {kOffer, failed + "The downloaded installer does not match its SHA-256 checksum."});
        const QString refused = failed + "Refused to download http://a.org/setup: only https";
        row("download elsewhere refused", offer + "http://a.org/setup", {kOffer, refused});
        row("redirect elsewhere refused", offer + "%s/moved", {kOffer, refused});
        row("download hangs", offer + "%s/hang", {kOffer, failed + "The server did not answer."});
        row("cancelled", offer + "%s/hang", {kOffer}, "cancel");
    }
    void updateFlow()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, expected);
        QFETCH(QString, mode);
        QFETCH(QString, endpoint);
        // Every row saves into a temporary folder of its own.
        QTemporaryDir temp(tempRoot.filePath("rowXXXXXX"));
        qputenv("TMPDIR", temp.path().toUtf8());
        const QByteArray script =
            "#!/bin/sh\necho run > '" + temp.filePath("marker").toUtf8() + "'\n";
        const QByteArray sha = QCryptographicHash::hash(script, QCryptographicHash::Sha256).toHex();
        const QString base = QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
        bodies["/version"] = file.replace("%sha", sha.toUpper()).replace("%s", base).toUtf8();
        bodies["/installer"] = bodies["/hang"] = script;
        bodies["/moved"] = "http://a.org/setup";
        qputenv("TORVANE_UPDATE_URL", endpoint.replace("%s", base).toUtf8());
        AutoUpdater::setTransferTimeout(mode == "cancel" ? 60000 : 1000);
        if (mode == "run")
            AutoUpdater::setLauncher({});
        answerYes = file.contains("DownloadURL");
        boxes.clear();
        launched.clear();
        quits = 0;

        AutoUpdater updater;
        QSignalSpy finished(&updater, &AutoUpdater::finished);
        updater.startCheck(kCurrent, mode == "silent");
        if (mode == "cancel") {
            QProgressDialog* dialog = nullptr;
            QTRY_VERIFY((dialog = progressDialog()));
            QCOMPARE(dialog->windowTitle(), "Update");
            const int half = int(script.size() / 2 * 100 / script.size());
            QTRY_COMPARE(dialog->value(), half);
            updater.onDownloadProgress(script.size(), 0);
            QCOMPARE(dialog->value(), half);
            dialog->findChild<QPushButton*>()->click();
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        AutoUpdater::setLauncher(recordLaunch);
        QVERIFY(!progressDialog());
        QCOMPARE(boxes.size(), expected.size());
        for (qsizetype i = 0; i < boxes.size(); ++i)
            QVERIFY2(boxes[i].startsWith(expected[i]), qPrintable(boxes[i]));

        const bool installed = expected.contains(kClosing);
        const QStringList saved = QDir(temp.path()).entryList({"update*"}, QDir::Files);
        QCOMPARE(saved.size(), installed ? 1 : 0);
        QCOMPARE(quits, installed ? 1 : 0);
        QCOMPARE(launched.size(), installed && mode != "run" ? 1 : 0);
        if (!installed)
            return;
        QFile installer(temp.filePath(saved.constFirst()));
        QVERIFY(installer.open(QIODevice::ReadOnly));
        QCOMPARE(installer.readAll(), script);
        QCOMPARE(installer.permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (mode == "run")
            QTRY_VERIFY(QFile::exists(temp.filePath("marker")));
        else
            QCOMPARE(launched, QStringList{installer.fileName()});
    }
};

QTEST_MAIN(tst_AutoUpdater)
#include "tst_AutoUpdater.moc"
