#include "journal.h"

#include "fileops.h"
#include "hashcache.h"
#include "installedrecord.h"
#include "swap.h"
#include "stagingfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>


namespace Tarvino {

using namespace FileOps;

namespace {

// A release's journal names every file it changes, in up to four names of a few hundred bytes each.
constexpr qint64 MaxJournalSize = 64 * 1024 * 1024;

QString translated(const char *text)
{
    return QCoreApplication::translate("Tarvino::Swap", text);
}

// The update never committed: the previous version goes back. Where that
// cannot be done now (on Windows, while the new program runs), or the journal
// is not one of ours, the journal stays.
bool undoUncommitted(const QString &appDir, const QString &executableName, RecoveryReport &said)
{
    const QString journalFile = Journal::path(appDir, executableName);
    QFile file;
    const QByteArray text = openPlainFile(file, journalFile, QIODevice::ReadOnly) == 0 ? file.read(MaxJournalSize)
                                                                                      : QByteArray();
    file.close();
    Journal journal;
    if (!journal.parse(text, executableName)) {
        said.details << QStringLiteral("Found %1, which cannot be read as a journal: left everything as it is")
                            .arg(nativePath(journalFile));
        said.notice = translated("An interrupted update left %1, which this updater cannot read, so no update is "
                                 "installed.").arg(nativePath(journalFile));
        return false;
    }
    QString found = QStringLiteral("Found the journal of an update that did not commit (%1 changes, the previous "
                                   "version kept as %2): ")
                        .arg(journal.changes.size())
                        .arg(journal.backup.isEmpty() && !journal.changes.isEmpty() ? journal.changes.constFirst().kept
                                                                                    : journal.backup);
    if (const int error = journal.undo(appDir, executableName)) {
        said.details << found + "could not undo it now: " + describe(error);
        said.notice = translated("An interrupted update could not be undone yet (%1). Close the program, then "
                                 "start the updater again.").arg(describe(error));
        return false;
    }
    said.details << found + QStringLiteral("the previous version was put back");
    said.notice = translated("An interrupted update was undone: the previous version is in place again.");
    return true;
}

QString parentOf(const QString &path)
{
    return QFileInfo(path).absolutePath();
}

bool isPlainRelative(const QString &path)
{
    return !path.isEmpty() && !path.startsWith(u'/') && !path.contains(u'\\') && !path.contains(u':')
        && !path.contains(u'\t') && !path.contains(u'\n') && !path.split(u'/').contains(QStringLiteral(".."))
        && !path.split(u'/').contains(QStringLiteral(".")) && !path.split(u'/').contains(QString());
}

// Empty, or a plain relative name that is not the installed file's own.
bool isOtherName(const QString &name, const QString &installed)
{
    return name.isEmpty() || (isPlainRelative(name) && name.compare(installed, Qt::CaseInsensitive) != 0);
}

// Removes the folders under and including dir that hold no file.
void removeEmptyFolders(const QString &dir)
{
    const QStringList children = QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString &child : children)
        removeEmptyFolders(dir + u'/' + child);
    QDir().rmdir(dir);
}

constexpr char Title[] = "Tarvino journal 2";
constexpr char SingleTitle[] = "Tarvino update journal 1";
constexpr char ReleaseTitle[] = "Tarvino release journal 1";
const char *const KindWords[] = {"replace", "add", "remove"};

bool kindOf(const QByteArray &word, SwapChange::Kind *kind)
{
    for (int i = 0; i < 3; ++i) {
        if (word == KindWords[i]) {
            *kind = SwapChange::Kind(i);
            return true;
        }
    }
    return false;
}

// "key value" lines, the value possibly empty.
bool field(const QByteArray &line, const char *key, QString *value)
{
    const QByteArray prefix = QByteArray(key) + ' ';
    if (!line.startsWith(prefix))
        return false;
    *value = QString::fromUtf8(line.mid(prefix.size()));
    return true;
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
    QByteArray text = QByteArray(Title) + "\nstaging " + staging.toUtf8() + "\nbackup " + backup.toUtf8() + '\n';
    for (const SwapChange &change : changes) {
        text += QByteArray(KindWords[int(change.kind)]) + '\t' + (change.keepByLink ? "link" : "move") + '\t'
            + change.path.toUtf8() + '\t' + change.staged.toUtf8() + '\t' + change.kept.toUtf8() + '\t'
            + change.displaced.toUtf8() + '\n';
    }
    return text;
}

bool Journal::parse(const QByteArray &text, const QString &executableName)
{
    QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 4 || !lines.constLast().isEmpty())
        return false;
    lines.removeLast();
    changes.clear();
    staging.clear();
    backup.clear();
    if (lines.at(0) == SingleTitle) {
        // A single build's: the program, kept beside itself by a second name.
        SwapChange change(SwapChange::Kind::Replace, executableName);
        change.keepByLink = true;
        if (lines.size() != 4 || !field(lines.at(1), "staged", &change.staged) || !field(lines.at(2), "kept", &change.kept)
            || !field(lines.at(3), "displaced", &change.displaced)) {
            return false;
        }
        changes << change;
    } else if (lines.at(0) == ReleaseTitle) {
        // A release's: every change moves between the folder, the staging folder and the backup folder.
        if (!field(lines.at(1), "staging", &staging) || !field(lines.at(2), "kept", &backup))
            return false;
        for (const QByteArray &line : lines.mid(3)) {
            SwapChange change;
            const QByteArray word = line.left(line.indexOf(' '));
            change.path = QString::fromUtf8(line.mid(word.size() + 1));
            if (!kindOf(word, &change.kind))
                return false;
            if (change.kind != SwapChange::Kind::Remove)
                change.staged = staging + u'/' + change.path;
            if (change.kind != SwapChange::Kind::Add)
                change.kept = backup + u'/' + change.path;
            changes << change;
        }
    } else if (lines.at(0) == Title) {
        if (!field(lines.at(1), "staging", &staging) || !field(lines.at(2), "backup", &backup))
            return false;
        for (const QByteArray &line : lines.mid(3)) {
            const QList<QByteArray> parts = line.split('\t');
            SwapChange change;
            if (parts.size() != 6 || !kindOf(parts.at(0), &change.kind) || (parts.at(1) != "link" && parts.at(1) != "move"))
                return false;
            change.keepByLink = parts.at(1) == "link";
            change.path = QString::fromUtf8(parts.at(2));
            change.staged = QString::fromUtf8(parts.at(3));
            change.kept = QString::fromUtf8(parts.at(4));
            change.displaced = QString::fromUtf8(parts.at(5));
            changes << change;
        }
    } else {
        return false;
    }
    for (const SwapChange &change : std::as_const(changes)) {
        if (!isPlainRelative(change.path) || !isOtherName(change.staged, change.path)
            || !isOtherName(change.kept, change.path) || !isOtherName(change.displaced, change.path)) {
            return false;
        }
    }
    // The folders a start may remove are hidden or backup folders of the top level, never the folder itself.
    return !changes.isEmpty() && (staging.isEmpty() || (isPlainRelative(staging) && !staging.contains(u'/')))
        && (backup.isEmpty() || (isPlainRelative(backup) && !backup.contains(u'/')));
}

int Journal::write(const QString &path) const
{
    return writeFileInOneStep(path, toText());
}

int Journal::undo(const QString &appDir, const QString &executableName, bool removeStaged) const
{
    QStringList touched{appDir};
    const auto in = [&appDir](const QString &name) { return name.isEmpty() ? QString() : appDir + name; };
    for (auto change = changes.crbegin(); change != changes.crend(); ++change) {
        const QString installed = appDir + change->path;
        const QString staged = in(change->staged);
        const QString kept = in(change->kept);
        const QString displaced = in(change->displaced);
        touched << parentOf(installed);
        // Where a running old program was moved aside and the new one never took its place.
        if (!displaced.isEmpty() && !exists(installed) && exists(displaced)) {
            if (const int error = renameOver(displaced, installed))
                return error;
        }
        if (change->kind == SwapChange::Kind::Add) {
            if (!exists(staged) && exists(installed)) {
                if (const int error = removeFile(installed))
                    return error;
            }
            // And the folders it had to make, which are empty again.
            const QString top = QDir::cleanPath(appDir);
            for (QString dir = parentOf(installed); dir.startsWith(top + u'/') && QDir().rmdir(dir);)
                dir = parentOf(dir);
        } else if (change->keepByLink && exists(staged) && exists(installed)) {
            // The new file never took the name: the old bytes are still there,
            // and the second name this update began for them goes.
            if (exists(kept)) {
                if (const int error = removeFile(kept))
                    return error;
            }
        } else if (!kept.isEmpty() && exists(kept)) {
            if (const int error = renameOver(kept, installed))
                return error;
            touched << parentOf(kept);
        }
        // A program that still runs cannot be removed: the sweep at a later start takes it.
        if (!displaced.isEmpty() && exists(displaced))
            removeFile(displaced);
        if (removeStaged && staging.isEmpty() && exists(staged))
            removeFile(staged);
    }
    if (const int error = syncFolders(touched))
        return error;
    if (!staging.isEmpty())
        removeTree(appDir + staging);
    if (!backup.isEmpty())
        removeEmptyFolders(appDir + backup);
    if (const int error = removeFile(path(appDir, executableName)))
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
    remove(HashCache::path(appDir, executableName) + QStringLiteral(".new"),
           QStringLiteral("a note of file hashes that never took its name"));

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
    for (const QString &name : dir.entryList({Swap::stagingPrefix(executableName) + u'*'},
                                             QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (const QString release = Swap::keptFor(dir.filePath(name) + u'/'); !release.isEmpty()) {
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
