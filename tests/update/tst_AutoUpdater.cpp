// The version file rules, and checks and downloads against an HTTP server on 127.0.0.1: the boxes
// shown, the installer saved and started, and the quit that follows. Downloads are signed with a
// key pair made here.
#include "support/TestSupport.h"
#include "update/AutoUpdater.h"
#include "update/VersionFile.h"

#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <sodium.h>

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
    QString launchError;
    int quits = 0;
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    QByteArray publicKey = QByteArray(crypto_sign_PUBLICKEYBYTES, 0);

    const AutoUpdater::Launcher recordLaunch = [this](const QString& program) {
        launched << program;
        return launchError;
    };
    const AutoUpdater::BoxHandler recordBox = [this](auto, const QString& title,
                                                     const QString& text) {
        boxes << title + QStringLiteral(": ") + text;
        return answerYes;
    };

private slots:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        QVERIFY(sodium_init() >= 0);
        crypto_sign_keypair(reinterpret_cast<uchar*>(publicKey.data()), secretKey);
        AutoUpdater::setReleaseKey(publicKey);
        // Answers GET requests by path, 404 for others. /moved... redirect to /moved's body. /hang
        // sends its headers, half its body a moment later (late enough to pass Qt's throttling of
        // progress signals), then nothing more; /trickle a byte every 50 ms; /huge announces 2 GB.
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
                    path.startsWith("/moved")
                        ? "302 Found\r\nLocation: " + bodies["/moved"] + "\r\n"
                        : QByteArray(bodies.contains(path) ? "200 OK\r\n" : "404 Not Found\r\n");
                socket->write("HTTP/1.1 " + status + "Connection: close\r\nContent-Length: " +
                              QByteArray::number(path == "/huge" ? 2000000000 : body.size()) +
                              "\r\n\r\n");
                if (path == "/hang")
                    return QTimer::singleShot(150, socket,
                                              [=] { socket->write(body.left(body.size() / 2)); });
                if (path == "/trickle") {
                    auto* timer = new QTimer(socket);
                    connect(timer, &QTimer::timeout, socket, [socket] { socket->write("#"); });
                    return timer->start(50);
                }
                socket->write(body);
                socket->disconnectFromHost();
            });
        });
        AutoUpdater::setBoxHandler(recordBox);
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
    // silent, run (the real start of the installer), cancel (the download), trickle (a short
    // deadline), box (the real box), nostart (the start fails) or how the download is signed.
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
        row("version shown as text", "Version: 2026.8.0.0<b>x</b>",
            {"Update Available: A new version 2026.8.0.0<b>x</b> is available."}, "box");
        row("check hangs", "", {kUnreachable + "\nThe server did not answer."}, "", "%s/hang");
        row("check too large", QString(70000, 'x'),
            {kUnreachable + "\nThe file is larger than 64"});
        row("check elsewhere refused, silent", "", {}, "silent", "http://192.0.2.1/version");
        row("installed, run", offer + "%s/installer", {kOffer, kClosing}, "run");
        row("start fails", offer + "%s/installer",
            {kOffer, kClosing, "Error: The installer could not be started."}, "nostart");
        const QString notSigned = failed + "The update is not signed.";
        const QString badSignature = failed + "The update's signature is not valid";
        row("unsigned", offer + "%s/installer", {kOffer, notSigned}, "unsigned");
        row("test key, release key in force", offer + "%s/installer", {kOffer, badSignature},
            "release key");
        row("signature of another file", offer + "%s/installer", {kOffer, badSignature}, "other");
        row("too large", offer + "%s/huge", {kOffer, failed + "The file is larger than 1"});
        row("download trickles", offer + "%s/trickle",
            {kOffer, failed + "The server did not send the whole file in time."}, "trickle");
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
        const QByteArray signedBytes = mode == "other" ? script + "\n" : script;
        QByteArray signature(crypto_sign_BYTES, 0);
        crypto_sign_detached(reinterpret_cast<uchar*>(signature.data()), nullptr,
                             reinterpret_cast<const uchar*>(signedBytes.data()),
                             quint64(signedBytes.size()), secretKey);
        const QString base = QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
        bodies.clear();
        bodies["/version"] = file.replace("%s", base).toUtf8();
        for (const QByteArray path : {"/installer", "/hang", "/trickle", "/huge"})
            bodies.insert({{path, script}, {path + ".sig", signature}});
        if (mode == "unsigned")
            bodies.remove("/installer.sig");
        bodies["/moved"] = "http://a.org/setup";
        qputenv("TORVANE_UPDATE_URL", endpoint.replace("%s", base).toUtf8());
        AutoUpdater::setTransferTimeout(mode == "cancel" ? 60000 : 1000);
        AutoUpdater::setTransferDeadline(mode == "trickle" ? 300 : 60000);
        if (mode == "run")
            AutoUpdater::setLauncher({});
        if (mode == "release key")
            AutoUpdater::setReleaseKey({});
        QTimer boxCloser; // answers No in the real box, noting what it shows
        if (mode == "box") {
            AutoUpdater::setBoxHandler({});
            connect(&boxCloser, &QTimer::timeout, this, [this] {
                if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                    const bool plain = box->textFormat() == Qt::PlainText;
                    boxes << box->windowTitle() + ": " + (plain ? box->text() : "rich text");
                    box->button(QMessageBox::No)->click();
                }
            });
            boxCloser.start(20);
        }
        launchError = mode == "nostart" ? "Permission denied" : "";
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
        AutoUpdater::setBoxHandler(recordBox);
        AutoUpdater::setReleaseKey(publicKey);
        QVERIFY(!progressDialog());
        QCOMPARE(boxes.size(), expected.size());
        for (qsizetype i = 0; i < boxes.size(); ++i)
            QVERIFY2(boxes[i].startsWith(expected[i]), qPrintable(boxes[i]));
        QVERIFY(launchError.isEmpty() || boxes.constLast().endsWith(launchError));

        const bool installed = expected.contains(kClosing);
        const QStringList saved = QDir(temp.path()).entryList({"update*"}, QDir::Files);
        QCOMPARE(saved.size(), installed ? 1 : 0);
        QCOMPARE(quits, installed && mode != "nostart" ? 1 : 0);
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
