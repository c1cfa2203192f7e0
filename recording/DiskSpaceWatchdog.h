#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <optional>

// Keeps recordings off a full disk: tells whether there is room to start one, and while one runs
// looks at the free space of its folder about once a second, reporting once when it runs low or
// the folder is gone (its drive unmounted), while the file can still be finished. Also words the
// boxes that tell the user. GUI thread only.
class DiskSpaceWatchdog : public QObject
{
    Q_OBJECT

public:
    static constexpr std::int64_t kMegabyte = 1024 * 1024;
    static constexpr std::int64_t kStartMinimum_bytes = 500 * kMegabyte;
    static constexpr std::int64_t kRecordingMinimum_bytes = 100 * kMegabyte;

    // Tests lower the limits to fit a small file system; negative values restore the defaults.
    static void setLimits(std::int64_t start_bytes, std::int64_t recording_bytes);
    // The free bytes when they are too few to start in folder; empty when a recording may start,
    // also when the system cannot tell.
    static std::optional<std::int64_t> tooLittleToStart(const QString& folder);

    static QString notEnoughToStartTitle();
    static QString notEnoughToStartText(const QString& folder, std::int64_t free_bytes);
    static QString stoppedTitle();
    static QString lowSpaceText(const QString& folder, std::int64_t free_bytes);
    // A vanished folder is told as a failed write; the writer words its own failures.
    static QString folderGoneText(const QString& folder);

    explicit DiskSpaceWatchdog(QObject* parent = nullptr);

    // Watches the folder of filePath, and the file once it is there, until stop(); a report
    // comes at most once per start.
    void start(const QString& filePath);
    void stop();
    // One look, as the timer takes every second.
    void check();

Q_SIGNALS:
    void spaceLow(const QString& folder, qint64 free_bytes);
    void folderGone(const QString& folder);

private:
    QTimer timer;
    QString file_;
    QString folder_;
    bool fileSeen = false;
    bool reported = false;
};
