#include "DiskSpaceWatchdog.h"

#include "platform/posix/DiskSpace.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace {

constexpr int kCheckInterval_ms = 1000;

std::int64_t startMinimum_bytes = DiskSpaceWatchdog::kStartMinimum_bytes;
std::int64_t recordingMinimum_bytes = DiskSpaceWatchdog::kRecordingMinimum_bytes;

QString shownFolder(const QString& folder)
{
    return QDir::toNativeSeparators(QFileInfo(folder).absoluteFilePath());
}

QString megabytes(std::int64_t bytes)
{
    return QString::number(bytes / DiskSpaceWatchdog::kMegabyte);
}

} // namespace

void DiskSpaceWatchdog::setLimits(std::int64_t start_bytes, std::int64_t recording_bytes)
{
    startMinimum_bytes = start_bytes < 0 ? kStartMinimum_bytes : start_bytes;
    recordingMinimum_bytes = recording_bytes < 0 ? kRecordingMinimum_bytes : recording_bytes;
}

std::optional<std::int64_t> DiskSpaceWatchdog::tooLittleToStart(const QString& folder)
{
    const std::optional<std::int64_t> free = platform::freeDiskBytes(folder);
    if (free && *free < startMinimum_bytes)
        return free;
    return std::nullopt;
}

QString DiskSpaceWatchdog::notEnoughToStartTitle()
{
    return tr("Not enough disk space");
}

QString DiskSpaceWatchdog::notEnoughToStartText(const QString& folder, std::int64_t free_bytes)
{
    return tr("Only %1 MB are free in %2. Torvane needs at least %3 MB to start a recording. "
              "Free some space or choose another folder in Settings.")
        .arg(megabytes(free_bytes), shownFolder(folder), megabytes(startMinimum_bytes));
}

QString DiskSpaceWatchdog::stoppedTitle()
{
    return tr("Recording stopped");
}

QString DiskSpaceWatchdog::lowSpaceText(const QString& folder, std::int64_t free_bytes)
{
    return tr("The recording was stopped because only %1 MB are left in %2. The file recorded "
              "so far is saved.")
        .arg(megabytes(free_bytes), shownFolder(folder));
}

QString DiskSpaceWatchdog::folderGoneText(const QString& folder)
{
    return tr("The recording was stopped because the file could not be written: %1. The file "
              "recorded so far is saved.")
        .arg(tr("the folder %1 is no longer there").arg(shownFolder(folder)));
}

DiskSpaceWatchdog::DiskSpaceWatchdog(QObject* parent) : QObject(parent)
{
    timer.setInterval(kCheckInterval_ms);
    connect(&timer, &QTimer::timeout, this, &DiskSpaceWatchdog::check);
}

void DiskSpaceWatchdog::start(const QString& filePath)
{
    file_ = filePath;
    folder_ = QFileInfo(filePath).absolutePath();
    fileSeen = false;
    reported = false;
    timer.start();
}

void DiskSpaceWatchdog::stop()
{
    timer.stop();
}

void DiskSpaceWatchdog::check()
{
    if (reported || folder_.isEmpty())
        return;
    // An unmounted drive leaves its mount point behind, without the file in it.
    const bool fileThere = QFileInfo::exists(file_);
    if (!QFileInfo(folder_).isDir() || (fileSeen && !fileThere)) {
        reported = true;
        qWarning().noquote() << "Recording folder is gone:" << folder_;
        Q_EMIT folderGone(folder_);
        return;
    }
    fileSeen = fileThere;
    const std::optional<std::int64_t> free = platform::freeDiskBytes(folder_);
    if (free && *free < recordingMinimum_bytes) {
        reported = true;
        qWarning().noquote() << "Disk space low while recording:" << *free << "bytes free in"
                             << folder_;
        Q_EMIT spaceLow(folder_, *free);
    }
}
