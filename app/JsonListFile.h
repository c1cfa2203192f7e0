#pragma once

#include <QJsonArray>
#include <QJsonValue>
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
    // the user may still want, and the run log says where it went.
    std::optional<QJsonArray> load() const;

    // Replaces the file with the list, indented, through a temporary file so that a failed write
    // leaves the old file whole. True when it was written.
    bool save(const QJsonArray& list) const;

    const QString& path() const { return path_; }

    // An id as the files hold it: a JSON number, or else anything that converts (a numeric
    // string); 0 for what is neither, negative or out of range.
    static std::uint64_t idFrom(const QJsonValue& value);

private:
    void moveAside() const;

    QString path_;
    QString member_;
};
