#include "FfmpegReference.h"

#include "encode/MuxEncoderSetup.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>

namespace ffmpegref {

QStringList x264OutputArguments(int fps, int bitrateKbps, QSize size)
{
    // The mux thread gives libx264 one thread per core, a GOP of two seconds and a constant
    // bitrate with a buffer of half a second.
    const int threads = std::max(1, QThread::idealThreadCount());
    return QStringLiteral("-sws_flags fast_bilinear -pix_fmt yuv420p "
                          "-c:v libx264 -preset ultrafast -tune zerolatency "
                          "-profile:v main -level:v 40 -bf 0 -g %1 "
                          "-b:v %2k -minrate %2k -maxrate %2k -bufsize %3k -nal-hrd cbr "
                          "-me_method hex -aq-mode 2 -aq-strength 0.8 -fast-pskip 1 "
                          "-x264-params %5 "
                          "-threads %4 -thread_type slice+frame -flags +global_header -f mp4")
        .arg(2 * fps)
        .arg(bitrateKbps)
        .arg(bitrateKbps / 2)
        .arg(threads)
        .arg(libx264Params(size, fps))
        .split(' ');
}

QString shellQuoted(const QStringList& arguments)
{
    static const QRegularExpression needsQuotes("[^A-Za-z0-9_./:+=,x-]");
    QStringList quoted;
    for (const QString& argument : arguments) {
        if (argument.isEmpty() || argument.contains(needsQuotes))
            quoted.append('\'' + QString(argument).replace('\'', "'\\''") + '\'');
        else
            quoted.append(argument);
    }
    return quoted.join(' ');
}

QByteArray x264Settings(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // The SEI with the settings sits in the first frame; MP4 may put the index before it.
    const QByteArray data = file.read(4 * 1024 * 1024);
    const int start = data.indexOf("options: ");
    if (start < 0)
        return {};
    const int end = data.indexOf('\0', start);
    return data.mid(start + 9, end < 0 ? -1 : end - start - 9);
}

} // namespace ffmpegref

namespace ffmpegref {

QString x264Setting(const QByteArray& settings, const QString& name)
{
    for (const QString& field : QString::fromLatin1(settings).split(' ', Qt::SkipEmptyParts)) {
        const qsizetype equals = field.indexOf('=');
        if (equals > 0 && field.left(equals) == name)
            return field.mid(equals + 1);
    }
    return {};
}

QString x264Params(const QByteArray& settings)
{
    // Printed name -> parsed name where they differ beyond '_' for '-' (which libx264 accepts).
    static const QHash<QString, QString> renamed{
        {"mixed_ref", "mixed-refs"},  {"me_range", "merange"}, {"decimate", "dct-decimate"},
        {"keyint_min", "min-keyint"}, {"ip_ratio", "ipratio"}, {"pb_ratio", "pbratio"},
        {"b_pyramid", "b-pyramid"},   {"b_adapt", "b-adapt"},  {"b_bias", "b-bias"},
    };
    QStringList params;
    for (const QString& field : QString::fromLatin1(settings).split(' ', Qt::SkipEmptyParts)) {
        const qsizetype equals = field.indexOf('=');
        if (equals <= 0)
            continue;
        const QString name = field.left(equals);
        // ':' separates the parameters themselves; libx264 also reads pairs with ','.
        QString value = field.mid(equals + 1);
        const QStringList parts = value.split(':');
        if (name == "deblock") {
            // "enabled:alpha:beta"; a bare number would set both strengths and enable it.
            params << (parts.value(0) == "0"
                           ? QStringLiteral("deblock=false")
                           : QStringLiteral("deblock=%1,%2").arg(parts.value(1), parts.value(2)));
        } else if (name == "analyse") {
            // "intra:inter" partition flags, printed as hex; only the inter ones can be set,
            // the intra ones follow the preset.
            const uint inter = parts.value(1).toUInt(nullptr, 0);
            QStringList partitions;
            const std::pair<uint, const char*> flags[] = {{0x0001, "i4x4"},
                                                          {0x0002, "i8x8"},
                                                          {0x0010, "p8x8"},
                                                          {0x0020, "p4x4"},
                                                          {0x0100, "b8x8"}};
            for (const auto& [flag, partition] : flags) {
                if (inter & flag)
                    partitions << partition;
            }
            params << "partitions=" + (partitions.isEmpty() ? "none" : partitions.join(','));
        } else if (name == "deadzone") {
            const QStringList zones = value.split(',');
            params << "deadzone-inter=" + zones.value(0) << "deadzone-intra=" + zones.value(1);
        } else if (name == "aq") {
            params << "aq-mode=" + parts.value(0);
            if (parts.size() > 1)
                params << "aq-strength=" + parts.value(1);
        } else if (name == "direct" || name == "b_pyramid") {
            // Printed as numbers, parsed by name.
            static const QStringList direct{"none", "spatial", "temporal", "auto"};
            static const QStringList pyramid{"none", "strict", "normal"};
            const QStringList& names = name == "direct" ? direct : pyramid;
            params << renamed.value(name, name) + '=' + names.value(value.toInt(), value);
        } else if (name == "rc" || name == "cqm") {
            // The rate control follows from bitrate, crf or qp; a custom matrix is a file.
            continue;
        } else {
            params << renamed.value(name, name) + '=' + parts.join(',');
        }
    }
    return params.join(':');
}

} // namespace ffmpegref
