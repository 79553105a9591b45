#include "hashcache.h"

#include "fileops.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

namespace Tarvino {

namespace {
constexpr char Title[] = "Tarvino file hashes 1";
// Thousands of lines of a few hundred bytes; anything larger is not ours.
constexpr qint64 MaxSize = 64 * 1024 * 1024;
// A file written this recently may be written again within the same tick of
// its clock, keeping its stamp: its hash is not noted.
constexpr qint64 SettledAfterMs = 3000;
} // namespace

HashCache::HashCache(const QString &appDir, const QString &executableName)
    : m_appDir(appDir), m_file(path(appDir, executableName))
{
    QFile file;
    if (FileOps::openPlainFile(file, m_file, QIODevice::ReadOnly) != 0)
        return;
    const QList<QByteArray> lines = file.read(MaxSize).split('\n');
    if (lines.constFirst() != Title)
        return;
    for (const QByteArray &line : lines.mid(1)) {
        const qsizetype first = line.indexOf(' ');
        const qsizetype second = line.indexOf(' ', first + 1);
        if (first <= 0 || second != first + 65)
            continue;
        m_entries.insert(QString::fromUtf8(line.mid(second + 1)),
                         {line.left(first), QByteArray::fromHex(line.mid(first + 1, 64))});
    }
}

QString HashCache::path(const QString &appDir, const QString &executableName)
{
    return appDir + u'.' + executableName + QStringLiteral(".hashes");
}

QByteArray HashCache::sha256(const QString &path)
{
    const QString file = m_appDir + path;
    const QByteArray stamp = FileOps::fileStamp(file);
    if (stamp.isEmpty())
        return FileOps::sha256Of(file);
    if (const auto entry = m_entries.constFind(path); entry != m_entries.cend() && entry->stamp == stamp)
        return entry->sha256;
    const QByteArray sha256 = FileOps::sha256Of(file);
    const QDateTime modified = QFileInfo(file).lastModified();
    if (!sha256.isEmpty() && FileOps::fileStamp(file) == stamp
        && modified.msecsTo(QDateTime::currentDateTimeUtc()) >= SettledAfterMs) {
        m_entries.insert(path, {stamp, sha256});
        m_changed = true;
    }
    return sha256;
}

void HashCache::note(const QString &path, const QByteArray &sha256)
{
    if (const QByteArray stamp = FileOps::fileStamp(m_appDir + path); !stamp.isEmpty() && sha256.size() == 32) {
        m_entries.insert(path, {stamp, sha256});
        m_changed = true;
    }
}

int HashCache::save()
{
    if (!m_changed)
        return 0;
    QByteArray text = QByteArray(Title) + '\n';
    for (auto entry = m_entries.cbegin(); entry != m_entries.cend(); ++entry) {
        if (!entry.key().contains(u'\n') && FileOps::fileStamp(m_appDir + entry.key()) == entry->stamp)
            text += entry->stamp + ' ' + entry->sha256.toHex() + ' ' + entry.key().toUtf8() + '\n';
    }
    m_changed = false;
    // A note lost costs a read of the file again, nothing more.
    return FileOps::writeFileInOneStep(m_file, text, FileOps::Flush::Later);
}

} // namespace Tarvino
