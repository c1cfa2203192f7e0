#include "FfmpegReference.h"

#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>

namespace ffmpegref {

QStringList x264OutputArguments(int fps, int bitrateKbps)
{
    // The mux thread gives libx264 one thread per core, a GOP of two seconds and a constant
    // bitrate with a buffer of half a second.
    const int threads = std::max(1, QThread::idealThreadCount());
    return QStringLiteral("-sws_flags fast_bilinear -pix_fmt yuv420p "
                          "-c:v libx264 -preset ultrafast -tune zerolatency "
                          "-profile:v main -level:v 40 -bf 0 -g %1 "
                          "-b:v %2k -minrate %2k -maxrate %2k -bufsize %3k -nal-hrd cbr "
                          "-me_method hex -aq-mode 2 -aq-strength 0.8 -fast-pskip 1 "
                          "-threads %4 -thread_type slice+frame -flags +global_header -f mp4")
        .arg(2 * fps)
        .arg(bitrateKbps)
        .arg(bitrateKbps / 2)
        .arg(threads)
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
