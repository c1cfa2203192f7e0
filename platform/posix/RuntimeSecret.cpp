#include "RuntimeSecret.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

QString systemError(const QString& what)
{
    return what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

QByteArray writeRuntimeSecret(const QString& path, QString* error)
{
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const QByteArray file = QFile::encodeName(path);
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST) {
        *error = systemError(QString::fromLocal8Bit(folder));
        return {};
    }
    struct stat info = {};
    if (::lstat(folder.constData(), &info) != 0) {
        *error = systemError(QString::fromLocal8Bit(folder));
        return {};
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
        *error =
            QStringLiteral("%1 is not a folder of this user").arg(QString::fromLocal8Bit(folder));
        return {};
    }
    if ((info.st_mode & 077) != 0 && ::chmod(folder.constData(), 0700) != 0) {
        *error = systemError(QString::fromLocal8Bit(folder));
        return {};
    }
    if (::unlink(file.constData()) != 0 && errno != ENOENT) {
        *error = systemError(QString::fromLocal8Bit(file));
        return {};
    }
    const int fd =
        ::open(file.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = systemError(QString::fromLocal8Bit(file));
        return {};
    }
    quint32 random[8];
    QRandomGenerator::system()->fillRange(random);
    const QByteArray secret =
        QByteArray(reinterpret_cast<const char*>(random), sizeof(random)).toHex();
    const bool written = ::write(fd, secret.constData(), size_t(secret.size())) == secret.size();
    if (!written)
        *error = systemError(QString::fromLocal8Bit(file));
    ::close(fd);
    return written ? secret : QByteArray();
}

} // namespace platform
