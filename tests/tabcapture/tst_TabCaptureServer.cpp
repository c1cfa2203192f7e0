// The tab capture server against a real WebSocket client on 127.0.0.1, and its binary message parser
// (the fuzzers in fuzz/ cover malformed input at large).
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "support/TestSupport.h"
#include "tabcapture/TabCaptureServerWin.h"

#include <QSignalSpy>
#include <QWebSocket>
#include <QtEndian>
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
    bool running = false, overloaded = false;
    void startSession(const StartRequest& request) override { starts << request, running = true; }
    void stopSession() override { stops += running, running = false; }
    bool isRunning() const override { return running; }
    bool hasAudio() const override { return running; }
    VideoPush pushVideoFrame(const VideoMessage&) override
    {
        return ++videos, overloaded ? VideoPush::Overloaded : VideoPush::Queued;
    }
    void pushAudioFrame(const AudioMessage&) override { ++audios; }
};

} // namespace

class tst_TabCaptureServer : public QObject
{
    Q_OBJECT

    TabCaptureServerWin* server_ = nullptr;
    FakeSession* session_ = nullptr;

    // A client past its handshake (maybe refused already); its text messages collect in *texts.
    QWebSocket* connectClient(QStringList* texts, const QString& origin = {})
    {
        auto* socket = new QWebSocket(origin, QWebSocketProtocol::VersionLatest, server_);
        connect(socket, &QWebSocket::textMessageReceived, socket,
                [texts](const QString& text) { *texts << text; });
        QSignalSpy connected(socket, &QWebSocket::connected);
        socket->open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(server_->serverPort())));
        connected.wait(5000);
        return socket;
    }

private slots:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        SettingsStore::instance().setValue(settings::kVideoGroup, settings::kFps, "29.97");
    }
    void init()
    {
        server_ = new TabCaptureServerWin;
        session_ = new FakeSession;
        server_->setSession(session_);
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
        QTest::newRow("size overflow") << videoMessage(INT32_MAX, INT32_MAX, 4) << "packet";
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

    // start (width 640), the message under test, a video and an audio message, start again.
    void handlesMessages_data()
    {
        QTest::addColumn<bool>("screenRecording");
        QTest::addColumn<bool>("overloaded");
        QTest::addColumn<QByteArray>("extra");    // text when it starts with a zero byte
        QTest::addColumn<QStringList>("replies"); // after config
        QTest::addColumn<int>("media");           // messages passed to the session
        const QString started = startedMessage();
        const QStringList twice{started, started};
        QTest::newRow("records") << false << false << QByteArray() << twice << 2;
        QTest::newRow("busy") << true << false << QByteArray()
                              << QStringList{busyMessage(), busyMessage()} << 0;
        QTest::newRow("overload") << false << true << QByteArray()
                                  << QStringList{started, overloadMessage(), stopRecordingMessage(),
                                                 started}
                                  << 1;
        QTest::newRow("stop") << false << false << QByteArray("\0{\"type\":\"stop\"}", 16) << twice
                              << 0;
        QTest::newRow("not JSON") << false << false << QByteArray("\0start", 6) << twice << 2;
        QTest::newRow("short audio") << false << false << audioMessage(2, 4, 7) << twice << 2;
    }
    void handlesMessages()
    {
        QFETCH(bool, screenRecording);
        QFETCH(bool, overloaded);
        QFETCH(QByteArray, extra);
        QFETCH(QStringList, replies);
        QFETCH(int, media);
        server_->setScreenRecordingActive(screenRecording);
        session_->overloaded = overloaded;
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
        // The stored "29.97" is told as 29, the rate a screen recording takes from it.
        QCOMPARE(texts, QStringList{configMessage(29)} + replies);
        QCOMPARE(session_->videos + session_->audios, media);
        QCOMPARE(session_->starts.value(0).width, screenRecording ? 1920 : 640);
        const int stops = session_->stops;
        server_->stopRecordingFromApp(); // does nothing without a recording
        QTRY_COMPARE(texts.size(), 1 + replies.size() + int(!screenRecording));
        QCOMPARE(session_->stops, stops + int(!screenRecording));
        client->close(); // a disconnect ends any recording too
        QTRY_VERIFY(!server_->hasClient());
        QVERIFY(!session_->running);
    }

    // The close reason of a refused client, or "" for one that gets its config.
    void refusesConnections_data()
    {
        QTest::addColumn<QString>("origin");
        QTest::addColumn<bool>("second");
        QTest::addColumn<QString>("refusal");
        const QString origin = QStringLiteral("Origin not allowed");
        QTest::newRow("no origin") << QString() << false << "";
        QTest::newRow("extension") << "chrome-extension://abcdefgh" << false << "";
        QTest::newRow("https page") << "https://example.com" << false << origin;
        QTest::newRow("http page") << "http://localhost:8080" << false << origin;
        QTest::newRow("sandboxed frame") << "null" << false << origin;
        QTest::newRow("second client") << QString() << true << "Another client already connected";
    }
    void refusesConnections()
    {
        QFETCH(QString, origin);
        QFETCH(bool, second);
        QFETCH(QString, refusal);
        QStringList firstTexts, texts;
        if (second)
            connectClient(&firstTexts);
        QWebSocket* client = connectClient(&texts, origin);
        QTRY_COMPARE(texts.size() + int(client->closeCode() == 1008), 1);
        QCOMPARE(client->closeReason(), refusal);
        QCOMPARE(texts.isEmpty(), !refusal.isEmpty());
        QCOMPARE(server_->hasClient(), refusal.isEmpty() || second); // the first one stays
    }
};

QTEST_MAIN(tst_TabCaptureServer)
#include "tst_TabCaptureServer.moc"
