#include "journal.h"

#include "fileops.h"
#include "stagingfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

namespace Tarvino {

using namespace FileOps;

namespace {

bool isOurs(const QString &name, const QString &executableName)
{
    return !name.isEmpty() && !name.contains(u'/') && !name.contains(u'\\') && name != u"." && name != u".."
        && name != executableName;
}

} // namespace

QString Journal::path(const QString &appDir, const QString &executableName)
{
    return appDir + u'.' + executableName + QStringLiteral(".journal");
}

QString Journal::displacedPrefix(const QString &executableName)
{
    return u'.' + executableName + QStringLiteral(".old-");
}

QByteArray Journal::toText() const
{
    return "Tarvino update journal 1\nstaged " + staged.toUtf8() + "\nkept " + kept.toUtf8() + "\ndisplaced "
        + displaced.toUtf8() + '\n';
}

bool Journal::parse(const QByteArray &text, const QString &executableName)
{
    const QList<QByteArray> lines = text.split('\n');
    if (lines.size() != 5 || lines[0] != "Tarvino update journal 1" || !lines[4].isEmpty())
        return false;
    const auto field = [&lines](int i, const char *key) {
        const QByteArray prefix = QByteArray(key) + ' ';
        return lines[i].startsWith(prefix) ? QString::fromUtf8(lines[i].mid(prefix.size())) : QString();
    };
    staged = field(1, "staged");
    kept = field(2, "kept");
    displaced = field(3, "displaced");
    return isOurs(staged, executableName) && isOurs(kept, executableName) && isOurs(displaced, executableName);
}

int Journal::write(const QString &path) const
{
    const QString fresh = path + QStringLiteral(".new");
    QFile file(fresh);
    if (const int error = injected("open", fresh))
        return error;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return lastError();
    hide(fresh);
    const QByteArray text = toText();
    int error = injected("write", fresh);
    if (!error && file.write(text) != text.size())
        error = lastError() ? lastError() : EIO;
    if (!error)
        error = syncToDisk(file);
    file.close();
    if (!error)
        error = renameOver(fresh, path);
    if (error) {
        removeFile(fresh);
        return error;
    }
    return syncFolder(QFileInfo(path).absolutePath());
}

int Journal::undo(const QString &appDir, const QString &executableName, bool removeStaged) const
{
    const QString executable = appDir + executableName;
    const QString stagedPath = appDir + staged;
    const QString keptPath = appDir + kept;
    const QString displacedPath = appDir + displaced;
    // Where a running old program was moved aside and the new one never took its place.
    if (!exists(executable) && exists(displacedPath)) {
        if (const int error = renameOver(displacedPath, executable))
            return error;
    }
    if (exists(stagedPath) && exists(executable)) {
        // The new build never took the name: the old bytes are still there, and
        // the backup, made by this update, goes.
        if (exists(keptPath)) {
            if (const int error = removeFile(keptPath))
                return error;
        }
        if (removeStaged)
            removeFile(stagedPath);
    } else if (exists(keptPath)) {
        if (const int error = renameOver(keptPath, executable))
            return error;
    }
    // A program that still runs cannot be removed: the sweep at a later start takes it.
    if (exists(displacedPath))
        removeFile(displacedPath);
    if (const int error = syncFolder(appDir))
        return error;
    const QString journal = path(appDir, executableName);
    if (const int error = removeFile(journal))
        return error;
    syncFolder(appDir);
    return 0;
}

bool recoverInterruptedUpdate(const QString &appDir, const QString &executableName)
{
    const QString executable = appDir + executableName;
    const QString journalFile = Journal::path(appDir, executableName);
    bool changed = false;
    const auto remove = [&](const QString &path) {
        if (exists(path)) {
            removeFile(path);
            changed = true;
        }
    };

    // A journal that never took its name: no step of that update had begun.
    remove(journalFile + QStringLiteral(".new"));

    const QString ran = Journal::ranMarker(journalFile);
    if (exists(journalFile) && exists(ran)) {
        // The new program ran; only the commit was left to do.
        if (removeFile(journalFile) != 0)
            return false;
        changed = true;
    } else if (exists(journalFile)) {
        QFile file(journalFile);
        Journal journal;
        if (!file.open(QIODevice::ReadOnly) || !journal.parse(file.read(4096), executableName))
            return false; // not ours to judge: leave everything as it is
        file.close();
        // Never committed: the old program goes back under its name. Where that
        // cannot be done now (on Windows, while the new one runs), the journal
        // stays for a later start.
        if (journal.undo(appDir, executableName) != 0)
            return false;
    }

    const QDir dir(appDir);
    const QDir::Filters files = QDir::Files | QDir::Hidden | QDir::System;
    const QString displaced = Journal::displacedPrefix(executableName) + u'*';
    const QStringList setAside = dir.entryList({displaced}, files, QDir::Time);
    // Left by an updater of an earlier version, which kept no journal: the
    // set-aside program is the only one.
    if (!setAside.isEmpty() && !exists(executable)) {
        renameOver(dir.filePath(setAside.constFirst()), executable);
        changed = true;
    }
    remove(ran);
    const QStringList leftovers =
        dir.entryList({StagingFile::prefix(executableName) + u'*', displaced}, files);
    for (const QString &name : leftovers)
        remove(dir.filePath(name));
    if (changed)
        syncFolder(appDir);
    return true;
}

} // namespace Tarvino
