#pragma once

#include <QHash>
#include <QKeySequence>
#include <QList>
#include <QObject>
#include <QString>

// Keyboard shortcuts the desktop passes on whichever program has the focus. One implementation
// per windowing system; all live in the GUI thread.
class GlobalShortcuts : public QObject
{
    Q_OBJECT

public:
    enum class Status {
        // Asked for; the desktop has not answered yet.
        Pending,
        Active,
        TakenByAnotherProgram,
        // The desktop offers no global shortcuts, or not this key.
        Unsupported,
    };
    struct Shortcut
    {
        QString id;
        QKeySequence keys;
        // What the desktop shows the user when it lists or confirms the shortcut.
        QString description;
    };

    explicit GlobalShortcuts(QObject* parent = nullptr);
    ~GlobalShortcuts() override;

    // Replaces every shortcut of this program; an empty list releases them all.
    virtual void setShortcuts(const QList<Shortcut>& shortcuts) = 0;
    // Unsupported for an id never set.
    Status status(const QString& id) const { return statuses_.value(id, Status::Unsupported); }
    // The newest set still alive, or null; the hotkey dialog shows its statuses.
    static GlobalShortcuts* current();

Q_SIGNALS:
    void activated(QString id);
    void statusChanged();

protected:
    void setStatuses(QHash<QString, Status> statuses);

private:
    QHash<QString, Status> statuses_;
};
