// The tab capture server against a real WebSocket client on 127.0.0.1, and its binary message
// parser (the fuzzers in fuzz/ cover malformed input at large).

#include "platform/posix/SocketOwner.h"
#include "support/TestSupport.h"
#include "tabcapture/TabCaptureServerWin.h"

#include <QSignalSpy>
#include <QWebSocket>
#include <QtEndian>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace tabcapture;

namespace {

QByteArray videoMessage(qint32 width, qint32 height, qsizetype payload)
{
    QByteArray data(kVideoHeaderSize + payload, 'v');
    qToLittleEndian<qint64>(123456, data.data() + 1);
    qToLittleEndian(width, data.data() + 9);
    qToLittleEndian(height, data.data() + 13);
    return data;
}

// Samples count up from 0 so the planes show which interleaved slot each came from.
QByteArray audioMessage(quint16 channels, qint32 samples, qsizetype floats)
{
    QByteArray data(kAudioHeaderSize + 4 * floats, 'a');
    qToLittleEndian<qint32>(44100, data.data() + 9);
    qToLittleEndian(channels, data.data() + 13);
    qToLittleEndian(samples, data.data() + 15);
    for (qsizetype i = 0; i < floats; ++i)
        qToLittleEndian(float(i), data.data() + kAudioHeaderSize + 4 * i);
    return data;
}

const QString kStart = QStringLiteral(R"({"type":"start"})");

struct FakeSession : TabCaptureSessionBase
{
    QList<StartRequest> starts;
    int stops = 0, videos = 0, audios = 0;
    bool running = false, overloaded = false, fails = false;
    void startSession(const StartRequest& request) override
    {
        starts << request, running = !fails;
        fails ? emit startFailed("no room") : emit recordingStarted("x.mp4");
    }
    void stopSession() override { stops += running, running = false; }
    bool isRunning() const override { return running; }
    bool hasAudio() const override { return running; }
    VideoPush pushVideoFrame(const VideoMessage&, const QByteArray&) override
    {
        return ++videos, overloaded ? VideoPush::Overloaded : VideoPush::Queued;
    }
    void pushAudioFrame(const AudioMessage&, const QByteArray&) override { ++audios; }
};

} // namespace

class tst_TabCaptureServer : public QObject
{
    Q_OBJECT

    TabCaptureServerWin* server_ = nullptr;
    FakeSession* session_ = nullptr;

    // A client past its handshake (maybe refused already); its text messages collect in *texts.
    // Without an origin it sends the secret from the file, unless told another token.
    QWebSocket* connectClient(QStringList* texts, const QString& origin = {},
                              const QString& token = readSecret())
    {
        auto* socket = new QWebSocket(origin, QWebSocketProtocol::VersionLatest, server_);
        connect(socket, &QWebSocket::textMessageReceived, socket,
                [texts](const QString& text) { *texts << text; });
        QSignalSpy connected(socket, &QWebSocket::connected);
        socket->open(QUrl(
            QStringLiteral("ws://127.0.0.1:%1/?token=%2").arg(server_->serverPort()).arg(token)));
        connected.wait(5000);
        return socket;
    }

    static QString readSecret()
    {
        QFile file(TabCaptureServerWin::secretPath());
        // Only the user may read it.
        return file.permissions() == (QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser |
                                      QFile::WriteUser) &&
                       file.open(QIODevice::ReadOnly)
                   ? QString::fromLatin1(file.readAll())
                   : QString();
    }

private slots:
    void initTestCase() { testsupport::isolateUserFolders(); }
    void init()
    {
        server_ = new TabCaptureServerWin;
        session_ = new FakeSession;
        server_->setSession(session_);
        server_->setSettingsSource([] {
            return TabCaptureSettings{testsupport::recordingSettings({{"VideoSett/fps", "29.97"}}),
                                      {"added", "other"}};
        });
        QVERIFY(server_->start(0));
    }
    void cleanup() { delete server_; }

    // Video: "raw", "packet" or "" (refused). Audio: the planes, left then right, or "".
    void parsesBinaryMessages_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("expect");
        QTest::newRow("raw 1280x720") << videoMessage(1280, 720, 1280 * 720 * 4) << "raw";
        QTest::newRow("one byte more") << videoMessage(1280, 720, 1280 * 720 * 4 + 1) << "packet";
        QTest::newRow("8K") << videoMessage(7680, 4320, 4) << "packet";
        QTest::newRow("wider than 8K") << videoMessage(7682, 2, 16) << "";
        QTest::newRow("size overflow") << videoMessage(INT32_MAX, INT32_MAX, 4) << "";
        QTest::newRow("negative height") << videoMessage(2, -2, 16) << "";
        QTest::newRow("mono") << audioMessage(1, 2, 3) << "0 1";
        QTest::newRow("stereo") << audioMessage(2, 2, 4) << "0 2 1 3";
        QTest::newRow("six channels") << audioMessage(6, 2, 4) << "0 2 1 3";
        QTest::newRow("short of samples") << audioMessage(2, 2, 3) << "";
        QTest::newRow("huge count") << audioMessage(2, INT32_MAX, 2) << "";
    }
    void parsesBinaryMessages()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, expect);
        QString got;
        if (const std::optional<VideoMessage> video = parseVideoMessage(data)) {
            QCOMPARE(video->timestampUs, 123456);
            QCOMPARE(video->payload.data(), data.constData() + kVideoHeaderSize);
            got = video->isRawPicture ? "raw" : "packet";
        } else if (const std::optional<AudioMessage> audio = parseAudioMessage(data)) {
            QCOMPARE(audio->sampleRate, 44100);
            QList<float> out(audio->channels * audio->samplesPerChannel);
            copyPlanarSamples(*audio, out.data(), out.data() + audio->samplesPerChannel);
            for (float sample : out)
                got += QString::number(sample) + ' ';
        }
        QCOMPARE(got.trimmed(), expect);
    }

    // A start's values, after the defaults and the even rounding, or why it is refused; the
    // encoded size when it is smaller.
    void checksStartRequests_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<QString>("expect");
        QTest::newRow("defaults") << ""
                                  << "1920x1080 30 fps 48000 Hz 2 ch";
        QTest::newRow("odd, zeros") << R"(,"width":161,"height":91,"frameRate":0,"audioChannels":0)"
                                    << "162x92 30 fps 48000 Hz 0 ch";
        QTest::newRow("largest") << R"(,"width":7680,"height":4320,"frameRate":240,)"
                                    R"("audioSampleRate":384000,"audioChannels":8)"
                                 << "7680x4320 as 3840x2160 240 fps 384000 Hz 8 ch";
        QTest::newRow("wide") << R"(,"width":7680,"height":2160)"
                              << "7680x2160 as 5430x1526 30 fps 48000 Hz 2 ch";
        QTest::newRow("2^31-1") << R"(,"width":2147483647)"
                                << "width 2147483647 not in 1..7680";
        QTest::newRow("1e12") << R"(,"height":1e12)"
                              << "height 2147483647 not in 1..4320";
        QTest::newRow("241 fps") << R"(,"frameRate":241)"
                                 << "frameRate 241 not in 1..240";
        QTest::newRow("2 Hz") << R"(,"audioSampleRate":2)"
                              << "audioSampleRate 2 not in 8000..384000";
        QTest::newRow("9 channels") << R"(,"audioChannels":9)"
                                    << "audioChannels 9 not in 0..8";
        QTest::newRow("-1 channels") << R"(,"audioChannels":-1)"
                                     << "audioChannels -1 not in 0..8";
        QTest::newRow("set-up, sound on the pictures' clock")
            << R"(,"videoConfig":"AWQAH/8=","audioClock":"video")"
            << "1920x1080 30 fps 48000 Hz 2 ch, set-up 0164001fff, clock";
        QTest::newRow("set-up not base64") << R"(,"videoConfig":"AW*=")"
                                           << "videoConfig is not base64 of at most 1024 bytes";
        QTest::newRow("set-up too long")
            << QString(R"(,"videoConfig":"%1")").arg(QString(1372, 'A'))
            << "videoConfig is not base64 of at most 1024 bytes";
    }
    void checksStartRequests()
    {
        QFETCH(QString, json);
        StartRequest start = parseClientText((R"({"type":"start")" + json + "}").toUtf8())->start;
        const QString refusal = checkStartRequest(start);
        const auto [width, height] = tabcapture::encodedSize(start);
        const QString encoded =
            width != start.width ? QString::asprintf(" as %dx%d", width, height) : QString();
        QTEST(!refusal.isEmpty()
                  ? refusal
                  : QString::asprintf("%dx%d%s %d fps %d Hz %d ch", start.width, start.height,
                                      qPrintable(encoded), start.frameRate, start.audioSampleRate,
                                      start.audioChannels) +
                        (start.videoConfig.isEmpty() ? QString()
                                                     : ", set-up " + start.videoConfig.toHex()) +
                        (start.soundOnPictureClock ? ", clock" : ""),
              "expect");
    }

    // The owner of the connection's other end, as the kernel's table lists it (this machine's
    // byte order): 127.0.0.1:40000 to :8765 is uid 1000's, [::1]:40002 to :8765 uid 1001's.
    void readsSocketOwners_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<int>("peerPort");
        QTest::addColumn<int>("owner"); // -1: none found
        QTest::newRow("ours") << "127.0.0.1" << 40000 << 1000;
        QTest::newRow("another port") << "127.0.0.1" << 40001 << -1;
        QTest::newRow("another address") << "127.0.0.2" << 40000 << -1;
        QTest::newRow("IPv6") << "::1" << 40002 << 1001;
    }
    void readsSocketOwners()
    {
        QFETCH(QString, peer);
        QFETCH(int, peerPort);
        QFETCH(int, owner);
        const QByteArray table =
            "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n"
            "   0: 0100007F:223D 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000\n"
            "   1: 0100007F:223D 0100007F:9C40 01 00000000:00000000 00:00000000 00000000  1000\n"
            "   2: 0100007F:9C40 0100007F:223D 01 00000000:00000000 00:00000000 00000000  1000\n"
            "   3: 0100007F:9C41 0100007F:223E 01 00000000:00000000 00:00000000 00000000  1000\n"
            "   4: 00000000000000000000000001000000:9C42 00000000000000000000000001000000:223D "
            "01 00000000:00000000 00:00000000 00000000  1001\n";
        const QHostAddress address(peer);
        const QHostAddress server(
            address.protocol() == QAbstractSocket::IPv6Protocol ? "::1" : "127.0.0.1");
        const std::optional<unsigned> found =
            platform::tcpSocketOwner(table, address, quint16(peerPort), server, 8765);
        QCOMPARE(found ? int(*found) : -1, owner);
    }

    // start (width 640), the message under test, a video and an audio message, start again.
    void handlesMessages_data()
    {
        QTest::addColumn<bool>("screenRecording");
        QTest::addColumn<bool>("overloaded");
        QTest::addColumn<bool>("startFails");
        QTest::addColumn<QByteArray>("extra");    // text when it starts with a zero byte
        QTest::addColumn<QStringList>("replies"); // after config
        QTest::addColumn<int>("media");           // messages passed to the session
        const QString started = startedMessage();
        const QStringList twice{started, started};
        const QString noRoom = errorReply("no room");
        QTest::newRow("records") << false << false << false << QByteArray() << twice << 2;
        QTest::newRow("busy") << true << false << false << QByteArray()
                              << QStringList{busyMessage(), busyMessage()} << 0;
        QTest::newRow("overload") << false << true << false << QByteArray()
                                  << QStringList{started, overloadMessage(), stopRecordingMessage(),
                                                 started}
                                  << 1;
        QTest::newRow("stop") << false << false << false << QByteArray("\0{\"type\":\"stop\"}", 16)
                              << twice << 0;
        QTest::newRow("not JSON") << false << false << false << QByteArray("\0start", 6) << twice
                                  << 2;
        QTest::newRow("short audio")
            << false << false << false << audioMessage(2, 4, 7) << twice << 2;
        QTest::newRow("start refused")
            << false << false << false
            << QByteArray(1, '\0') + R"({"type":"start","frameRate":1000})"
            << QStringList{started, errorReply("frameRate 1000 not in 1..240"), started} << 2;
        QTest::newRow("file not opened")
            << false << false << true << QByteArray() << QStringList{noRoom, noRoom} << 0;
    }
    void handlesMessages()
    {
        QFETCH(bool, screenRecording);
        QFETCH(bool, overloaded);
        QFETCH(bool, startFails);
        QFETCH(QByteArray, extra);
        QFETCH(QStringList, replies);
        QFETCH(int, media);
        server_->setScreenRecordingActive(screenRecording);
        session_->overloaded = overloaded;
        session_->fails = startFails;
        QStringList texts;
        QWebSocket* client = connectClient(&texts);
        client->sendTextMessage(QStringLiteral(R"({"type":"start","width":640})"));
        if (extra.startsWith('\0'))
            client->sendTextMessage(QString::fromUtf8(extra.mid(1)));
        else if (!extra.isNull())
            client->sendBinaryMessage(extra);
        client->sendBinaryMessage(videoMessage(2, 2, 16));
        client->sendBinaryMessage(audioMessage(1, 1, 1));
        client->sendTextMessage(kStart); // its reply means everything before was handled
        QTRY_COMPARE(texts.size(), 1 + replies.size());
        // The stored "29.97" is told as 29, the rate a screen recording takes from it; the
        // clocks' offset lets the browser put its sound on its pictures' clock.
        const QJsonObject config = QJsonDocument::fromJson(texts.takeFirst().toUtf8()).object();
        QCOMPARE(config["frameRate"].toInt(), 29);
        QVERIFY(std::abs(config["clockOffsetUs"].toDouble() - wallMinusMonotonicUs()) < 1e6);
        QCOMPARE(texts, replies);
        QCOMPARE(session_->videos + session_->audios, media);
        QCOMPARE(session_->starts.value(0).width, screenRecording ? 1920 : 640);
        const int stops = session_->stops;
        const bool running = session_->running;
        server_->stopRecordingFromApp(); // does nothing without a recording
        QTRY_COMPARE(texts.size(), replies.size() + int(running));
        // What the browser's encoder still held comes after the request and is recorded; the
        // client's "stop" then ends the session.
        QCOMPARE(session_->stops, stops);
        const int videos = session_->videos;
        client->sendBinaryMessage(videoMessage(2, 2, 16));
        client->sendTextMessage(QStringLiteral(R"({"type":"stop"})"));
        QTRY_COMPARE(session_->stops, stops + int(running));
        QCOMPARE(session_->videos, videos + int(running));
        client->close(); // a disconnect ends any recording too
        QTRY_VERIFY(!server_->hasClient());
        QVERIFY(!session_->running);
    }

    // The close reason of a refused client, or "" for one that gets its config.
    void refusesConnections_data()
    {
        QTest::addColumn<QString>("origin");
        QTest::addColumn<QString>("token"); // "secret": the one in the file
        QTest::addColumn<bool>("second");
        QTest::addColumn<QString>("refusal");
        const QString origin = QStringLiteral("Origin not allowed");
        const QString token = QStringLiteral("Token missing or wrong");
        const QString ours = QStringLiteral("chrome-extension://") + kExtensionId;
        QTest::newRow("no origin, secret") << QString() << "secret" << false << "";
        QTest::newRow("no origin, no secret") << QString() << "" << false << token;
        QTest::newRow("no origin, wrong secret") << QString() << "0123" << false << token;
        QTest::newRow("our extension") << ours << "" << false << "";
        QTest::newRow("added extension") << "chrome-extension://other"
                                         << "" << false << "";
        QTest::newRow("another extension") << "chrome-extension://abcdefgh"
                                           << "" << false << origin;
        QTest::newRow("leading space") << " chrome-extension://x"
                                       << "" << false << origin;
        QTest::newRow("moz scheme")
            << "moz-extension://" + QString(kExtensionId) << "" << false << origin;
        QTest::newRow("https page") << "https://example.com"
                                    << "secret" << false << origin;
        QTest::newRow("sandboxed frame") << "null"
                                         << "" << false << origin;
        QTest::newRow("second client")
            << QString() << "secret" << true << "Another client already connected";
    }
    void refusesConnections()
    {
        QFETCH(QString, origin);
        QFETCH(QString, token);
        QFETCH(bool, second);
        QFETCH(QString, refusal);
        QStringList firstTexts, texts;
        if (second)
            connectClient(&firstTexts);
        QWebSocket* client =
            connectClient(&texts, origin, token == "secret" ? readSecret() : token);
        QTRY_COMPARE(texts.size() + int(client->closeCode() == 1008), 1);
        QCOMPARE(client->closeReason(), refusal);
        QCOMPARE(texts.isEmpty(), !refusal.isEmpty());
        QCOMPARE(server_->hasClient(), refusal.isEmpty() || second); // the first one stays
    }

    // A client that starts nothing, or sends nothing while recording, is closed; the slot is free.
    void closesIdleClients_data()
    {
        QTest::addColumn<bool>("start");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no start") << false << "No start received for too long";
        QTest::newRow("no media") << true << "No media received for too long";
    }
    void closesIdleClients()
    {
        QFETCH(bool, start);
        QFETCH(QString, reason);
        server_->setIdleTimeout(50);
        QStringList texts;
        QWebSocket* client = connectClient(&texts);
        if (start)
            client->sendTextMessage(kStart);
        QTRY_COMPARE(client->closeReason(), reason);
        QVERIFY(!server_->hasClient() && !session_->running);
        QCOMPARE(session_->stops, int(start));
        connectClient(&texts);
        QTRY_VERIFY(server_->hasClient());
    }
};

QTEST_MAIN(tst_TabCaptureServer)
#include "tst_TabCaptureServer.moc"
