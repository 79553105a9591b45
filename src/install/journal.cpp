#include "journal.h"

#include "fileops.h"
#include "installedrecord.h"
#include "releaseswap.h"
#include "stagingfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>


namespace Tarvino {

using namespace FileOps;

namespace {

// A release's journal names every file it changes.
constexpr qint64 MaxJournalSize = 4 * 1024 * 1024;

QString translated(const char *text)
{
    return QCoreApplication::translate("Tarvino::Installation", text);
}

// Either journal's update never committed: the previous version goes back.
// Where that cannot be done now (on Windows, while the new program runs), or
// the journal is not one of ours, the journal stays.
bool undoUncommitted(const QString &appDir, const QString &executableName, RecoveryReport &said)
{
    const QString journalFile = Journal::path(appDir, executableName);
    QFile file(journalFile);
    const QByteArray text = file.open(QIODevice::ReadOnly) ? file.read(MaxJournalSize) : QByteArray();
    file.close();
    ReleaseJournal release;
    Journal journal;
    QString found;
    int error = 0;
    if (ReleaseJournal::isReleaseJournal(text) && release.parse(text)) {
        found = QStringLiteral("Found the journal of a release update that did not commit (%1 changes, the "
                               "previous release kept in %2): ").arg(release.changes.size()).arg(release.kept);
        if (!(error = release.undo(appDir, journalFile)))
            found += QStringLiteral("the previous release was put back");
    } else if (journal.parse(text, executableName)) {
        const bool swapped = !exists(appDir + journal.staged) || !exists(appDir + executableName);
        found = QStringLiteral("Found the journal of an update that did not commit (staged %1, backup %2): ")
                    .arg(journal.staged, journal.kept);
        if (!(error = journal.undo(appDir, executableName))) {
            found += swapped ? QStringLiteral("the previous version was put back from %1").arg(journal.kept)
                             : QStringLiteral("the program had not been replaced yet; the backup it had begun "
                                              "and the staged build were removed");
        }
    } else {
        said.details << QStringLiteral("Found %1, which cannot be read as a journal: left everything as it is")
                            .arg(nativePath(journalFile));
        said.notice = translated("An interrupted update left %1, which this updater cannot read, so no update is "
                                 "installed.").arg(nativePath(journalFile));
        return false;
    }
    if (error) {
        said.details << found + "could not undo it now: " + describe(error);
        said.notice = translated("An interrupted update could not be undone yet (%1). Close the program, then "
                                 "start the updater again.").arg(describe(error));
        return false;
    }
    said.details << found;
    said.notice = translated("An interrupted update was undone: the previous version is in place again.");
    return true;
}

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

int Journal::markRan(const QString &journalPath)
{
    QFile marker(ranMarker(journalPath));
    if (const int error = injected("open", marker.fileName()))
        return error;
    if (!marker.open(QIODevice::WriteOnly))
        return lastError() ? lastError() : EIO;
    if (const int error = syncToDisk(marker))
        return error;
    marker.close();
    return syncFolder(QFileInfo(journalPath).absolutePath());
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
    return writeFileInOneStep(path, toText());
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

bool recoverInterruptedUpdate(const QString &appDir, const QString &executableName, RecoveryReport *report)
{
    RecoveryReport ignored;
    RecoveryReport &said = report ? *report : ignored;
    const QString undone = translated("An interrupted update was undone: the previous version is in place again.");
    const QString executable = appDir + executableName;
    const QString journalFile = Journal::path(appDir, executableName);
    bool changed = false;
    const auto remove = [&](const QString &path, const QString &what) {
        if (exists(path)) {
            const int error = removeFile(path);
            said.details << QStringLiteral("Found %1 (%2): %3")
                                .arg(nativePath(path), what, error ? "could not remove it: " + describe(error)
                                                                   : QStringLiteral("removed it"));
            changed = true;
        }
    };

    remove(journalFile + QStringLiteral(".new"), QStringLiteral("a journal that never took its name"));
    remove(InstalledRecord::path(appDir, executableName) + QStringLiteral(".new"),
           QStringLiteral("a record of the folder that never took its name"));

    const QString ran = Journal::ranMarker(journalFile);
    if (exists(journalFile) && exists(ran)) {
        const int error = removeFile(journalFile);
        said.details << QStringLiteral("Found the journal and its marker: the new version had run; %1")
                            .arg(error ? "the journal could not be removed: " + describe(error)
                                       : QStringLiteral("its update is completed"));
        if (error)
            return false;
        said.notice = translated("An interrupted update was completed: its new version had already run.");
        changed = true;
    } else if (exists(journalFile)) {
        if (!undoUncommitted(appDir, executableName, said))
            return false;
    }

    const QDir dir(appDir);
    const QDir::Filters files = QDir::Files | QDir::Hidden | QDir::System;
    const QString displaced = Journal::displacedPrefix(executableName) + u'*';
    const QStringList setAside = dir.entryList({displaced}, files, QDir::Time);
    // Left by an updater of an earlier version, which kept no journal: the
    // newest program set aside is the program.
    if (!setAside.isEmpty() && !exists(executable)) {
        const int error = renameOver(dir.filePath(setAside.constFirst()), executable);
        said.details << QStringLiteral("Found no program but %1 set aside: %2")
                            .arg(setAside.constFirst(), error ? "could not put it back: " + describe(error)
                                                              : QStringLiteral("put it back"));
        if (!error)
            said.notice = undone;
        changed = true;
    }
    remove(ran, QStringLiteral("the marker of a completed update"));
    for (const QString &name : dir.entryList({StagingFile::prefix(executableName) + u'*'}, files)) {
        const QString path = dir.filePath(name);
        const bool isRecord = name.endsWith(QLatin1String(".resume"));
        const QString partial = isRecord ? path.chopped(7) : path;
        PartialRecord record;
        if (PartialRecord::read(partial, &record)) {
            if (!isRecord) {
                said.details << QStringLiteral("Found %1: %2 of %3 bytes of %4, kept to be continued")
                                    .arg(nativePath(path)).arg(record.have).arg(record.total).arg(record.entry);
            }
            continue;
        }
        remove(path, isRecord ? QStringLiteral("the record of a download that is gone or cannot be continued")
                              : QStringLiteral("a download that was never installed"));
    }
    for (const QString &name : dir.entryList({displaced}, files))
        remove(dir.filePath(name), QStringLiteral("a program set aside while it ran"));
    for (const QString &name : dir.entryList({ReleaseSwap::stagingPrefix(executableName) + u'*'},
                                             QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (const QString release = ReleaseSwap::keptFor(dir.filePath(name) + u'/'); !release.isEmpty()) {
            said.details << QStringLiteral("Found %1: the files fetched so far of %2, kept to be continued")
                                .arg(nativePath(dir.filePath(name)), release);
            continue;
        }
        said.details << QStringLiteral("Found %1 (the files of a release that was never installed): removed it")
                            .arg(nativePath(dir.filePath(name)));
        FileOps::removeTree(dir.filePath(name));
        changed = true;
    }
    if (changed)
        syncFolder(appDir);
    return true;
}

} // namespace Tarvino
