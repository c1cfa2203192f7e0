#include "support/LogCapture.h"
#include "support/MuxTestHarness.h"
#include "support/MediaProbe.h"
#include "support/TestSupport.h"
#include "app/SettingsKeys.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

extern "C" {
#include <libavutil/log.h>
}

// Container and encoder set-up of the mux thread: the failures it reports before any frame is
// encoded, and the choices it logs.
class tst_MuxEncoderSetup : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir outputDir_;
    std::unique_ptr<testsupport::LogCapture> logCapture_;
    int fileNumber_ = 0;

    QString nextPath(const QString& extension)
    {
        return outputDir_.filePath(QStringLiteral("out_%1.%2").arg(++fileNumber_).arg(extension));
    }

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        QVERIFY(outputDir_.isValid());
        logCapture_ = std::make_unique<testsupport::LogCapture>();
        av_log_set_level(AV_LOG_QUIET);
    }

    void cleanupTestCase() { logCapture_.reset(); }

    void reportsSetUpFailures_data()
    {
        QTest::addColumn<QString>("videoFormat");
        QTest::addColumn<QString>("audioFormat");
        QTest::addColumn<bool>("withAudio");
        QTest::addColumn<bool>("unwritableFolder");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("fileLeft");

        QTest::newRow("unknown video format")
            << "Theora"
            << "AAC" << false << false << "Error: Unsupported video format." << false;
        QTest::newRow("output folder cannot be written")
            << "H264-AAC(MP4)"
            << "AAC" << true << true << "Error: Unable to open output file. " << false;
        QTest::newRow("unknown audio format")
            << "H264-AAC(MP4)"
            << "Vorbis" << true << false << "Could not find an audio encoder." << true;
    }

    void reportsSetUpFailures()
    {
        QFETCH(QString, videoFormat);
        QFETCH(QString, audioFormat);
        QFETCH(bool, withAudio);
        QFETCH(bool, unwritableFolder);
        QFETCH(QString, error);
        QFETCH(bool, fileLeft);

        testsupport::setMuxSettings(videoFormat, audioFormat);
        QString path = nextPath("media");
        if (unwritableFolder) {
            // A regular file where the folder should be: no folder can be created or written.
            QFile blocker(outputDir_.filePath("not-a-folder"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            path = blocker.fileName() + "/out.mp4";
            error += path;
        }
        const testsupport::MuxTestRecording recording =
            testsupport::makeMuxTestRecording(3, 64, 48, AV_PIX_FMT_BGRA, 0);
        const int descriptorsBefore = testsupport::openFileDescriptors();
        testsupport::MuxRunOptions options;
        options.withAudio = withAudio;
        options.preview = true;
        const testsupport::MuxRunResult result =
            testsupport::runMuxThread(*logCapture_, path, 64, 48, recording.items, options);

        QCOMPARE(result.errors(), QStringList{error});
        QVERIFY(!result.finished());
        QVERIFY(result.previews.isEmpty());
        QVERIFY(!result.log.filter("total Frame Written").size());
        QVERIFY(result.log.contains(error));
        QCOMPARE(QFileInfo::exists(path), fileLeft);
        QCOMPARE(testsupport::openFileDescriptors(), descriptorsBefore);
    }

    void logsAutomaticBitrate_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<double>("fps");
        QTest::addColumn<QString>("line");

        QTest::newRow("1080p30") << QSize(1920, 1080) << 30.0
                                 << "Auto bitrate calculated: 9331 kbps (Resolution: 1920x1080, "
                                    "FPS: 30)";
        QTest::newRow("odd size uses the even encoder size")
            << QSize(1365, 767) << 30.0
            << "Auto bitrate calculated: 4720 kbps (Resolution: 1366x768, FPS: 30)";
        QTest::newRow("720p at 29.97 counts 29 fps")
            << QSize(1280, 720) << 29.97
            << "Auto bitrate calculated: 4008 kbps (Resolution: 1280x720, FPS: 29)";
        QTest::newRow("small area clamps to 1000")
            << QSize(320, 240) << 15.0
            << "Auto bitrate calculated: 1000 kbps (Resolution: 320x240, FPS: 15)";
        QTest::newRow("4K60 clamps to 30000")
            << QSize(3840, 2160) << 60.0
            << "Auto bitrate calculated: 30000 kbps (Resolution: 3840x2160, FPS: 60)";
    }

    void logsAutomaticBitrate()
    {
        QFETCH(QSize, size);
        QFETCH(double, fps);
        QFETCH(QString, line);

        testsupport::setMuxSettings("H264-AAC(MP4)", "AAC", settings::kBitrateAuto, fps);
        const QString path = nextPath("mp4");
        const testsupport::MuxRunResult result =
            testsupport::runMuxThread(*logCapture_, path, size.width(), size.height(), {});
        QVERIFY2(result.errors().isEmpty(), qPrintable(result.errors().join('\n')));
        QVERIFY2(result.log.contains(line), qPrintable(result.log.join('\n')));
    }

    void fallsBackToLibx264_data()
    {
        QTest::addColumn<bool>("useHardware");
        QTest::newRow("hardware wanted") << true;
        QTest::newRow("hardware switched off") << false;
    }

    void fallsBackToLibx264()
    {
        QFETCH(bool, useHardware);
        testsupport::setMuxSettings("H264-AAC(MP4)", "AAC", 6000, testsupport::kMuxTestFps,
                                    settings::kQualityHigh, useHardware);
        const QString path = nextPath("mp4");
        const testsupport::MuxTestRecording recording =
            testsupport::makeMuxTestRecording(2, 64, 48, AV_PIX_FMT_BGRA, 0);
        const testsupport::MuxRunResult result =
            testsupport::runMuxThread(*logCapture_, path, 64, 48, recording.items);
        if (!result.log.filter("Using hardware encoder:").isEmpty())
            QSKIP("This machine has a working hardware H.264 encoder.");
        QVERIFY(result.log.contains("Using software encoder: libx264"));
        QVERIFY(result.finished());
        testsupport::MediaProbe probe;
        QVERIFY(probe.open(path));
        QCOMPARE(probe.firstStream(AVMEDIA_TYPE_VIDEO)->pixelFormat, QString("yuv420p"));
    }

    void configuresLibx264RateControl_data()
    {
        QTest::addColumn<QString>("quality");
        QTest::addColumn<QVariant>("bitrate");
        QTest::addColumn<QStringList>("expected"); // entries of x264's own settings record

        QTest::newRow("High, fixed bitrate")
            << QString(settings::kQualityHigh) << QVariant(6000)
            << QStringList{"rc=cbr",           "bitrate=6000", "vbv_maxrate=6000",
                           "vbv_bufsize=3000", "nal_hrd=cbr",  "bframes=0",
                           "keyint=30",        "aq=2:0.80",    "mbtree=0"};
        // libx264 has no "bitrate" or "maxrate" options, so it keeps its constant rate factor.
        QTest::newRow("High, automatic bitrate")
            << QString(settings::kQualityHigh) << QVariant(settings::kBitrateAuto)
            << QStringList{"rc=crf", "bframes=0", "keyint=30"};
        QTest::newRow("Standard is constant QP 30")
            << QString(settings::kQualityStandard) << QVariant(6000)
            << QStringList{"rc=cqp", "qp=30", "bframes=0"};
        QTest::newRow("Orginal is constant QP 18")
            << QString(settings::kQualityOriginal) << QVariant(6000)
            << QStringList{"rc=cqp", "qp=18", "bframes=0"};
    }

    void configuresLibx264RateControl()
    {
        QFETCH(QString, quality);
        QFETCH(QVariant, bitrate);
        QFETCH(QStringList, expected);

        testsupport::setMuxSettings("H264-AAC(MP4)", "AAC", bitrate, testsupport::kMuxTestFps,
                                    quality, false);
        const QString path = nextPath("mp4");
        const testsupport::MuxTestRecording recording =
            testsupport::makeMuxTestRecording(2, 64, 48, AV_PIX_FMT_BGRA, 0);
        const testsupport::MuxRunResult result =
            testsupport::runMuxThread(*logCapture_, path, 64, 48, recording.items);
        QVERIFY(result.finished());

        // libx264 writes the settings it encoded with into the stream as readable text.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const qsizetype start = bytes.indexOf("x264 - core");
        QVERIFY(start >= 0);
        const QStringList entries =
            QString::fromLatin1(bytes.mid(start, bytes.indexOf('\0', start) - start)).split(' ');
        for (const QString& entry : expected)
            QVERIFY2(entries.contains(entry),
                     qPrintable(entry + " missing in " + entries.join(' ')));
        QVERIFY(entries.contains(QStringLiteral("threads=%1").arg(QThread::idealThreadCount())));
    }
};

QTEST_GUILESS_MAIN(tst_MuxEncoderSetup)
#include "tst_MuxEncoderSetup.moc"
