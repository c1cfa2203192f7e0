#include "recording/RecordingSettings.h"
#include "support/TestSupport.h"

#include <QtTest>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

QString describe(const RecordingSettings& s)
{
    const char* const kinds[] = {"plain", "shm", "composite"};
    const QString size =
        s.outputSize
            ? QStringLiteral("%1x%2").arg(s.outputSize->width()).arg(s.outputSize->height())
            : QStringLiteral("own");
    return QStringList{s.folder,
                       kinds[int(s.captureKind)],
                       size,
                       QString::number(s.mux.fps),
                       avcodec_get_name(s.mux.videoCodecId),
                       avcodec_get_name(s.mux.audioCodecId),
                       QString::number(s.mux.audioBitrateKbps),
                       s.mux.autoBitrate ? "auto" : QString::number(s.mux.videoBitrateKbps),
                       s.mux.useHardwareEncoder ? "hw" : "sw",
                       s.screenRestoreToken + '|' + s.windowRestoreToken}
        .join(' ');
}

} // namespace

class tst_RecordingSettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each key by its own rule; a missing or unusable value gives what a new settings.ini holds.
    void readsEachKeyByItsRule_data()
    {
        QTest::addColumn<QString>("stored"); // "Group/key=value;..."
        QTest::addColumn<QString>("read");
        const char* const rows[][2] = {
            {"", "./QZT composite own 15 h264 aac 128 6000 hw |"},
            {"OutPutFileSett/RecordingPath=", "./QZT composite own 15 h264 aac 128 6000 hw |"},
            {"OutPutFileSett/RecordingPath=/r;VideoSett/VideoCaptureAPI=DXGI;VideoSett/fps=1e9",
             "/r shm own 300 h264 aac 128 6000 hw |"},
            {"VideoSett/VideoCaptureAPI=GDI;VideoSett/fps=abc;VideoSett/Bitrate=-3",
             "./QZT plain own 15 h264 aac 128 6000 hw |"},
            {"VideoSett/ResolutionIndex=13;VideoSett/CustomWidth=800;VideoSett/CustomHeight=600",
             "./QZT composite 800x600 15 h264 aac 128 6000 hw |"},
            {"VideoSett/ResolutionIndex=13;VideoSett/CustomWidth=-1;VideoSett/CustomHeight=600",
             "./QZT composite own 15 h264 aac 128 6000 hw |"},
            {"VideoSett/VideoFormat=MPEG-2;AudioSett/Bitrate=96;VideoSett/Bitrate=Auto",
             "./QZT composite own 15 mpeg2video mp3 128 auto hw |"},
            {"VideoSett/VideoFormat=Windows Media;AudioSett/AudioFormat=MP3;AudioSett/Bitrate=x",
             "./QZT composite own 15 wmv2 mp3 128 6000 hw |"},
            {"AudioSett/AudioFormat=FLAC;AudioSett/Bitrate=500;VideoSett/UseHardwareEncoder=false",
             "./QZT composite own 15 h264 flac 500 6000 sw |"},
            {"VideoSett/VideoFormat=MKV;AudioSett/AudioFormat=OGG;VideoSett/fps=29.97",
             "./QZT composite own 29 none none 128 6000 hw |"},
            {"VideoSett/WaylandScreenRestoreToken=s;VideoSett/WaylandWindowRestoreToken=w",
             "./QZT composite own 15 h264 aac 128 6000 hw s|w"},
        };
        for (const auto& row : rows)
            QTest::newRow(row[0]) << row[0] << row[1];
    }
    void readsEachKeyByItsRule()
    {
        QFETCH(QString, stored);
        QVariantHash values;
        for (const QString& entry : stored.split(';', Qt::SkipEmptyParts))
            values.insert(entry.section('=', 0, 0), entry.section('=', 1));
        QTEST(describe(testsupport::recordingSettings(values)), "read");
    }
};

QTEST_GUILESS_MAIN(tst_RecordingSettings)
#include "tst_RecordingSettings.moc"
