#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QRect>
#include <QString>

#include <cstdint>
#include <optional>

// A JSON file that holds one list: written as an object with one array member, read back from
// that or from a bare array. The stores of schedules and macros keep their lists in such files.
class JsonListFile
{
public:
    // path: the file; member: the array's name in the top-level object.
    JsonListFile(QString path, QString member);

    // The elements; an empty list when the file does not exist. Nullopt when it cannot be read
    // or holds something else; a file that is not such a list is then moved aside to
    // "<name>.broken" (or "<name>.broken.2", ...), so that the next save cannot overwrite what
    // the user may still want, and the run log says where it went (and *keptAs, when given).
    std::optional<QJsonArray> load(QString* keptAs = nullptr) const;

    // The list in a file's bytes: the array itself or the object's member (empty when it has
    // none). Nullopt when they are not JSON (why, with the offset, in *why) or hold neither an
    // array nor an object (*why left empty).
    static std::optional<QJsonArray> parse(const QByteArray& bytes, const QString& member,
                                           QString* why = nullptr);

    // Replaces the file with the list, indented, through a temporary file renamed over it, so
    // that a failed write (a full disk) leaves the old file whole. True when it was written;
    // a failure is logged. extra: further members of the top-level object.
    bool save(const QJsonArray& list, const QJsonObject& extra = {}) const;

    const QString& path() const { return path_; }

    // An id as the files hold it: a JSON number, or else anything that converts (a numeric
    // string); 0 for what is neither, negative or out of range.
    static std::uint64_t idFrom(const QJsonValue& value);

    // A rectangle from a file's numbers; nullopt when its far edges would leave the int range,
    // which QRect cannot hold (only a hand-edited file asks for that).
    static std::optional<QRect> rectFrom(int x, int y, int width, int height);

private:
    // The path the file was moved to; empty when it could not be moved.
    QString moveAside() const;

    QString path_;
    QString member_;
};
