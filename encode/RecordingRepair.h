#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

class QObject;

// Rebuilds recordings whose writer died before their trailer (a crash, a kill, a power loss):
// a journal beside a file says so. The file's packets are read back where the journal places
// them and written into a new file of the same streams, which then replaces the damaged one; the
// damaged file stays until its replacement is complete and on the disk.
//
// The folder may hold what others put there: only regular files of this user are read, never
// through a symbolic link, the damaged file only as an MP4, and the new file is never larger
// than the packets it copies and their index.
class RecordingRepair
{
public:
    enum class Outcome {
        NotNeeded, // no journal, or the file was complete after all
        Repaired,
        Failed,  // logged once: the journal is kept under failedPathFor() and not tried again
        Skipped, // left as it is for a later start: in use, not the user's own file, no room
    };
    struct Report
    {
        QStringList repaired;
        QStringList failed;
    };

    static QString failedPathFor(const QString& journalPath)
    {
        return journalPath + QStringLiteral(".failed");
    }

    // Repairs one recording if its journal is there and no recording holds the journal's lock.
    // cancel, when set during the repair, stops it: the file and journal stay as they were.
    static Outcome repairFile(const QString& mediaPath, const std::atomic<bool>* cancel = nullptr);

    // Repairs every recording of folder that left a journal; the paths of the repaired files.
    static QStringList repairAll(const QString& folder, const std::atomic<bool>* cancel = nullptr);

    // The recordings of folder that left a journal behind.
    static QStringList unfinished(const QString& folder);
    static Report repairEach(const QStringList& media, const std::atomic<bool>* cancel = nullptr);

    // repairAll on a thread of its own, for the start-up: a long recording takes a while to
    // copy. The folder is listed before this returns, so recordings started later are left alone.
    // done runs on receiver's thread with the repaired and the failed paths. Quitting the
    // application cancels a repair under way and waits for it.
    static void repairAllInBackground(const QString& folder, QObject* receiver,
                                      std::function<void(const Report&)> done);
};
