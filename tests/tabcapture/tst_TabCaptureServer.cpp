// The tab capture server against a real WebSocket client on 127.0.0.1, and its message parser.
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

QByteArray header(char tag, qsizetype size)
{
    QByteArray data(size, '\0');
    data[0] = tag;
    return data;
}

QByteArray videoMessage(qint32 width, qint32 height, qsizetype payload)
{
    QByteArray data = header('v', kVideoHeaderSize + payload);
    qToLittleEndian<qint64>(123456, data.data() + 1);
    qToLittleEndian(width, data.data() + 9);
    qToLittleEndian(height, data.data() + 13);
    return data;
}

// Samples count up from 0 so the planes show which interleaved slot each came from.
QByteArray audioMessage(quint16 channels, qint32 samples, qsizetype floats)
{
    QByteArray data = header('a', kAudioHeaderSize + 4 * floats);
    qToLittleEndian<qint32>(44100, data.data() + 9);
    qToLittleEndian(channels, data.data() + 13);
    qToLittleEndian(samples, data.data() + 15);
    for (qsizetype i = 0; i < floats; ++i)
        qToLittleEndian(float(i), data.data() + kAudioHeaderSize + 4 * i);
    return data;
}

struct FakeSession : TabCaptureSessionBase
{
    QList<StartRequest> starts;
    int stops = 0, videos = 0, audios = 0;
    bool running = false, overloaded = false;
    void startSession(const StartRequest& request) override { starts << request, running = true; }
    void stopSession() override { stops += running, running = false; }
    bool isRunning() const override { return running; }
    bool hasAudio() const override { return running; }
    VideoPush pushVideoFrame(const VideoMessage&) override { return ++videos, overloaded ? VideoPush::Overloaded : VideoPush::Queued; }
    void pushAudioFrame(const AudioMessage&) override { ++audios; }
};

} // namespace

class tst_TabCaptureServer : public QObject
{
    Q_OBJECT

    TabCaptureServerWin* server_ = nullptr;
    FakeSession* session_ = nullptr;

    // A client past its handshake (and maybe refused already); its text messages collect in *spy.
    QWebSocket* connectClient(QSignalSpy** spy, const QString& origin = {})
    {
        auto* socket = new QWebSocket(origin, QWebSocketProtocol::VersionLatest, server_);
        *spy = new QSignalSpy(socket, &QWebSocket::textMessageReceived);
        (*spy)->setParent(socket);
        QSignalSpy connected(socket, &QWebSocket::connected);
        socket->open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(server_->serverPort())));
        connected.wait(5000);
        return socket;
    }

private slots:
    void initTestCase() { testsupport::isolateUserFolders(); }

    void init()
    {
        server_ = new TabCaptureServerWin;
        session_ = new FakeSession;
        server_->setSession(session_);
        QVERIFY(server_->start(0));
    }

    void cleanup() { delete server_; }

    void parsesVideoMessages_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("expect"); // -1 invalid, 0 compressed, 1 raw
        QTest::newRow("raw 1280x720") << videoMessage(1280, 720, 1280 * 720 * 4) << 1;
        QTest::newRow("one byte more is compressed") << videoMessage(1280, 720, 1280 * 720 * 4 + 1) << 0;
        QTest::newRow("empty payload") << videoMessage(2, 2, 0) << 0;
        QTest::newRow("width x height overflow") << videoMessage(INT32_MAX, INT32_MAX, 4) << 0;
        QTest::newRow("16 byte header") << videoMessage(2, 2, 0).left(16) << -1;
        QTest::newRow("zero width") << videoMessage(0, 2, 16) << -1;
        QTest::newRow("negative height") << videoMessage(2, -2, 16) << -1;
        QTest::newRow("audio tag") << audioMessage(1, 1, 1) << -1;
    }
    void parsesVideoMessages()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, expect);
        const std::optional<VideoMessage> video = parseVideoMessage(data);
        QCOMPARE(video ? int(video->isRawPicture) : -1, expect);
        if (video) {
            QCOMPARE(video->timestampUs, 123456);
            QCOMPARE(video->payload.size(), data.size() - kVideoHeaderSize);
        }
    }

    void parsesAudioMessages_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QList<float>>("planes"); // left then right; empty when invalid
        QTest::newRow("mono") << audioMessage(1, 2, 2) << QList<float>{0, 1};
        QTest::newRow("zero channels read as one") << audioMessage(0, 2, 2) << QList<float>{0, 1};
        QTest::newRow("stereo de-interleaved") << audioMessage(2, 2, 4) << QList<float>{0, 2, 1, 3};
        QTest::newRow("six channels read as two") << audioMessage(6, 2, 4) << QList<float>{0, 2, 1, 3};
        QTest::newRow("extra bytes ignored") << audioMessage(1, 1, 3) << QList<float>{0};
        QTest::newRow("shorter than its samples") << audioMessage(2, 2, 3) << QList<float>{};
        QTest::newRow("no samples") << audioMessage(1, 0, 0) << QList<float>{};
        QTest::newRow("huge sample count") << audioMessage(2, INT32_MAX, 2) << QList<float>{};
        QTest::newRow("19 byte header") << audioMessage(1, 1, 1).left(19) << QList<float>{};
    }
    void parsesAudioMessages()
    {
        QFETCH(QByteArray, data);
        QFETCH(QList<float>, planes);
        const std::optional<AudioMessage> audio = parseAudioMessage(data);
        QCOMPARE(audio.has_value(), !planes.isEmpty());
        if (!audio)
            return;
        QList<float> out(audio->channels * audio->samplesPerChannel);
        copyPlanarSamples(*audio, out.data(), out.data() + audio->samplesPerChannel);
        QCOMPARE(out, planes);
        QCOMPARE(audio->sampleRate, 44100);
    }

    void parsesTextMessages_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("type"); // -1 invalid
        QTest::addColumn<QString>("start"); // width height fps rate channels codec given
        QTest::newRow("start defaults") << QByteArray(R"({"type":"start"})") << 0 << "1920 1080 30 48000 2 0 0";
        QTest::newRow("start values") << QByteArray(R"({"type":"start","width":640,"height":360,"frameRate":25,)"
                                                    R"("audioSampleRate":44100,"audioChannels":0,"videoCodec":"vp9"})")
                                      << 0 << "640 360 25 44100 0 1 1";
        QTest::newRow("AV01 capitals, spaces") << QByteArray(R"({"type":"start","videoCodec":" AV01 "})") << 0 << "1920 1080 30 48000 2 2 1";
        QTest::newRow("avc1 is H.264") << QByteArray(R"({"type":"start","videoCodec":"avc1.42E01E"})") << 0 << "1920 1080 30 48000 2 3 1";
        QTest::newRow("hevc is VP8") << QByteArray(R"({"type":"start","videoCodec":"hevc"})") << 0 << "1920 1080 30 48000 2 0 1";
        QTest::newRow("non-integer keys default") << QByteArray(R"({"type":"start","width":"640","frameRate":29.97})") << 0 << "1920 1080 30 48000 2 0 0";
        QTest::newRow("stop") << QByteArray(R"({"type":"stop"})") << 1 << "";
        QTest::newRow("unknown type") << QByteArray(R"({"type":"pause"})") << 2 << "";
        QTest::newRow("no type") << QByteArray(R"({"width":1})") << 2 << "";
        QTest::newRow("array") << QByteArray("[1]") << -1 << "";
        QTest::newRow("broken") << QByteArray(R"({"type":)") << -1 << "";
    }
    void parsesTextMessages()
    {
        QFETCH(QByteArray, json);
        QFETCH(int, type);
        QFETCH(QString, start);
        QString error;
        const std::optional<ClientMessage> message = parseClientText(json, &error);
        QCOMPARE(message ? int(message->type) : -1, type);
        QCOMPARE(error.isEmpty(), message.has_value());
        if (type == 0) {
            const StartRequest& s = message->start;
            QCOMPARE(QStringLiteral("%1 %2 %3 %4 %5 %6 %7").arg(s.width).arg(s.height).arg(s.frameRate)
                         .arg(s.audioSampleRate).arg(s.audioChannels).arg(int(s.videoCodec)).arg(int(s.videoCodecGiven)),
                     start);
        }
    }

    void announcesFrameRate_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("announced");
        QTest::newRow("missing") << QVariant() << 30;
        QTest::newRow("25") << QVariant(QStringLiteral("25")) << 25;
        QTest::newRow("29.97 reads as 0") << QVariant(QStringLiteral("29.97")) << 30;
        QTest::newRow("negative") << QVariant(-5) << 30;
    }
    void announcesFrameRate()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, announced);
        QCOMPARE(configMessage(configFrameRate(stored)), QStringLiteral(R"({"frameRate":%1,"type":"config"})").arg(announced));
    }

    void recordsFromStartToStop()
    {
        SettingsStore::instance().setValue(settings::kVideoGroup, settings::kFps, 24);
        QSignalSpy* spy = nullptr;
        QWebSocket* client = connectClient(&spy);
        QTRY_COMPARE(spy->count(), 1);
        QCOMPARE(spy->at(0).at(0).toString(), configMessage(24));
        server_->stopRecordingFromApp(); // nothing to stop yet
        client->sendTextMessage(QStringLiteral(R"({"type":"start","width":640,"audioChannels":1})"));
        QTRY_COMPARE(spy->count(), 2);
        QCOMPARE(spy->at(1).at(0).toString(), startedMessage());
        QCOMPARE(session_->starts.size(), 1);
        QCOMPARE(session_->starts[0].width, 640);
        client->sendBinaryMessage(videoMessage(2, 2, 16));
        client->sendBinaryMessage(audioMessage(1, 1, 1));
        QTRY_COMPARE(session_->audios, 1);
        QCOMPARE(session_->videos, 1);
        client->sendTextMessage(QStringLiteral(R"({"type":"stop"})"));
        QTRY_COMPARE(session_->stops, 1);
        client->sendTextMessage(QStringLiteral(R"({"type":"start"})"));
        QTRY_COMPARE(spy->count(), 3);
        server_->stopRecordingFromApp();
        QTRY_COMPARE(spy->count(), 4);
        QCOMPARE(spy->at(3).at(0).toString(), stopRecordingMessage());
        QCOMPARE(session_->stops, 2);
        client->sendTextMessage(QStringLiteral(R"({"type":"start"})"));
        QTRY_COMPARE(spy->count(), 5);
        client->close();
        QTRY_COMPARE(session_->stops, 3);
        QVERIFY(!server_->hasClient());
    }

    void checksOrigins_data()
    {
        QTest::addColumn<QString>("origin");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("none") << QString() << true;
        QTest::newRow("chrome extension") << QStringLiteral("chrome-extension://abcdefghijklmnop") << true;
        QTest::newRow("https page") << QStringLiteral("https://example.com") << false;
        QTest::newRow("http page") << QStringLiteral("http://localhost:8080") << false;
        QTest::newRow("sandboxed frame") << QStringLiteral("null") << false;
    }
    void checksOrigins()
    {
        QFETCH(QString, origin);
        QFETCH(bool, accepted);
        QSignalSpy* spy = nullptr;
        QWebSocket* client = connectClient(&spy, origin);
        if (accepted) {
            QTRY_COMPARE(spy->count(), 1);
            QVERIFY(server_->hasClient());
            return;
        }
        QTRY_COMPARE(client->closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
        QCOMPARE(client->closeReason(), QStringLiteral("Origin not allowed"));
        QCOMPARE(spy->count(), 0);
        QVERIFY(!server_->hasClient());
    }

    void refusesSecondClientAndStaysWithFirst()
    {
        QSignalSpy *first = nullptr, *second = nullptr;
        QWebSocket* client = connectClient(&first);
        QTRY_COMPARE(first->count(), 1);
        QWebSocket* other = connectClient(&second);
        QTRY_COMPARE(other->closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
        QCOMPARE(other->closeReason(), QStringLiteral("Another client already connected"));
        client->sendTextMessage(QStringLiteral(R"({"type":"start"})"));
        QTRY_COMPARE(first->count(), 2);
        QCOMPARE(second->count(), 0);
    }

    void answersBusyDuringScreenRecording()
    {
        server_->setScreenRecordingActive(true);
        QSignalSpy* spy = nullptr;
        QWebSocket* client = connectClient(&spy);
        QTRY_COMPARE(spy->count(), 1);
        client->sendTextMessage(QStringLiteral(R"({"type":"start"})"));
        QTRY_COMPARE(spy->count(), 2);
        QCOMPARE(spy->at(1).at(0).toString(), busyMessage());
        QVERIFY(session_->starts.isEmpty());
    }

    void stopsOnOverload()
    {
        session_->overloaded = true;
        QSignalSpy* spy = nullptr;
        QWebSocket* client = connectClient(&spy);
        client->sendTextMessage(QStringLiteral(R"({"type":"start"})"));
        QTRY_COMPARE(spy->count(), 2);
        client->sendBinaryMessage(videoMessage(2, 2, 16));
        QTRY_COMPARE(spy->count(), 4);
        QCOMPARE(spy->at(2).at(0).toString(), overloadMessage());
        QCOMPARE(spy->at(3).at(0).toString(), stopRecordingMessage());
        QCOMPARE(session_->stops, 1);
    }

    void ignoresMalformedMessages_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("binary");
        QTest::newRow("not JSON") << QByteArray("start") << false;
        QTest::newRow("JSON array") << QByteArray("[\"start\"]") << false;
        QTest::newRow("unknown type") << QByteArray(R"({"type":"pause"})") << false;
        QTest::newRow("empty binary") << QByteArray() << true;
        QTest::newRow("unknown tag") << QByteArray("x0123456789abcdefghij") << true;
        QTest::newRow("short video") << videoMessage(2, 2, 0).left(16) << true;
        QTest::newRow("audio short of samples") << audioMessage(2, 4, 7) << true;
    }
    void ignoresMalformedMessages()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, binary);
        QSignalSpy* spy = nullptr;
        QWebSocket* client = connectClient(&spy);
        client->sendTextMessage(QStringLiteral(R"({"type":"start"})"));
        QTRY_COMPARE(spy->count(), 2);
        binary ? client->sendBinaryMessage(data) : client->sendTextMessage(QString::fromUtf8(data));
        client->sendBinaryMessage(videoMessage(2, 2, 16)); // messages arrive in order
        QTRY_COMPARE(session_->videos, 1);
        QCOMPARE(session_->audios, 0);
        QCOMPARE(session_->starts.size(), 1);
        QCOMPARE(session_->stops, 0);
        QCOMPARE(spy->count(), 2);
        QVERIFY(server_->hasClient());
    }

    void reportsPortInUse()
    {
        TabCaptureServerWin other;
        QSignalSpy errors(&other, &TabCaptureServerWin::errorMessage);
        QVERIFY(!other.start(server_->serverPort()));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(other.serverPort(), 0);
    }
};

QTEST_MAIN(tst_TabCaptureServer)
#include "tst_TabCaptureServer.moc"
