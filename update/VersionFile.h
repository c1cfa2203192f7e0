#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// The update endpoint's plain-text reply: one "Key: value" per line, unknown
// lines ignored so that the endpoint can add lines for newer clients.
struct VersionFile
{
    QString version;
    QUrl downloadUrl;

    // Matching is case-sensitive and a later line overrides an earlier one.
    static VersionFile parse(const QByteArray& body);
};

// True when offered is newer than current. Only the first four dot-separated
// parts count, missing parts are 0 and a part that is not a number counts as 0.
bool isNewerVersion(const QString& offered, const QString& current);
