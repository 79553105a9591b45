#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// The SHA-256 of the folder's files, each noted with the stamp of the version
// of the file it was read from (FileOps::fileStamp(): size, times, identity on
// the drive), in ".E.hashes" beside the program, so that a start and an update
// read only the files that changed since: a file whose stamp changed is read again.
namespace Tarvino {

class HashCache
{
public:
    HashCache(const QString &appDir, const QString &executableName);

    static QString path(const QString &appDir, const QString &executableName);

    // The SHA-256 of the file at path (relative to the folder): the one noted
    // while the file is as it was then, else read anew. Empty when it cannot be read.
    QByteArray sha256(const QString &path);
    // Notes that the file now at path holds bytes of this SHA-256, known
    // without reading it (a file that was checked before it was moved in).
    void note(const QString &path, const QByteArray &sha256);
    // Writes the notes in one step when they changed, leaving out files that
    // changed or went since. 0 or the error code.
    int save();

private:
    struct Entry
    {
        QByteArray stamp;
        QByteArray sha256;
    };
    QString m_appDir;
    QString m_file;
    QHash<QString, Entry> m_entries;
    bool m_changed = false;
};

} // namespace Tarvino
