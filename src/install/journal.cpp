#include "journal.h"

#include "fileops.h"
#include "installedrecord.h"
#include "stagingfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>


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
    const auto tr = [](const char *text) { return QCoreApplication::translate("Tarvino::Installation", text); };
    const QString undone = tr("An interrupted update was undone: the previous version is in place again.");
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
        said.notice = tr("An interrupted update was completed: its new version had already run.");
        changed = true;
    } else if (exists(journalFile)) {
        QFile file(journalFile);
        Journal journal;
        if (!file.open(QIODevice::ReadOnly) || !journal.parse(file.read(4096), executableName)) {
            // Not ours to judge: everything stays as it is.
            said.details << QStringLiteral("Found %1, which cannot be read as a journal: left everything as it is")
                                .arg(nativePath(journalFile));
            said.notice = tr("An interrupted update left %1, which this updater cannot read, so no update is "
                             "installed.").arg(nativePath(journalFile));
            return false;
        }
        file.close();
        const bool swapped = !exists(appDir + journal.staged) || !exists(executable);
        const QString found = QStringLiteral("Found the journal of an update that did not commit (staged %1, "
                                             "backup %2): ").arg(journal.staged, journal.kept);
        // Where the old program cannot go back now (on Windows, while the new
        // one runs), the journal stays for a later start.
        if (const int error = journal.undo(appDir, executableName)) {
            said.details << found + "could not undo it now: " + describe(error);
            said.notice = tr("An interrupted update could not be undone yet (%1). Close the program, then start "
                             "the updater again.").arg(describe(error));
            return false;
        }
        said.details << found
                + (swapped ? QStringLiteral("the previous version was put back from %1").arg(journal.kept)
                           : QStringLiteral("the program had not been replaced yet; the backup it had begun "
                                            "and the staged build were removed"));
        said.notice = undone;
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
    for (const QString &name : dir.entryList({StagingFile::prefix(executableName) + u'*'}, files))
        remove(dir.filePath(name), QStringLiteral("a download that was never installed"));
    for (const QString &name : dir.entryList({displaced}, files))
        remove(dir.filePath(name), QStringLiteral("a program set aside while it ran"));
    if (changed)
        syncFolder(appDir);
    return true;
}

} // namespace Tarvino
