#include "swap.h"

#include "fileops.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>

#include <algorithm>
#include <cerrno>

#if defined(Q_OS_WIN)
#  include <windows.h>
#endif

namespace Tarvino {

using namespace FileOps;

namespace {

QString parentOf(const QString &path)
{
    return QFileInfo(path).absolutePath();
}

// A folder itself, not a link or a junction to one.
bool isOwnFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink() && !info.isJunction();
}

} // namespace

Swap::Swap(const QString &appDir, const QString &executableName)
    : m_appDir(appDir), m_executableName(executableName)
{
}

QString Swap::stagingPrefix(const QString &executableName)
{
    return u'.' + executableName + QStringLiteral(".release-");
}

bool Swap::fail(const QString &error)
{
    m_error = error;
    return false;
}

namespace {
constexpr char KeptTitle[] = "Tarvino kept release 1\nrelease: ";
QString keptRecord(const QString &stagingDir)
{
    return stagingDir + QStringLiteral(".release");
}
} // namespace

QString Swap::keptFor(const QString &stagingDir)
{
    // A link at a staging folder's name claims nothing, whatever it points to.
    QFile file;
    if (!isOwnFolder(stagingDir.chopped(1)) || openPlainFile(file, keptRecord(stagingDir), QIODevice::ReadOnly) != 0)
        return {};
    const QByteArray text = file.read(4096);
    if (!text.startsWith(KeptTitle) || !text.endsWith('\n'))
        return {};
    return QString::fromUtf8(text.mid(qstrlen(KeptTitle)).chopped(1));
}

bool Swap::prepare(const QString &release)
{
    const QDir dir(m_appDir);
    for (const QString &name : dir.entryList({stagingPrefix(m_executableName) + u'*'},
                                             QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (!release.isEmpty() && keptFor(m_appDir + name + u'/') == release) {
            m_journal.staging = name;
            return true;
        }
    }
    m_journal.staging = stagingPrefix(m_executableName) + QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
    // Made here and now, never taken over: whatever already stands at the name is no folder of ours.
    int error = injected("mkdir", stagingDir());
    if (!error && !QDir().mkdir(m_appDir + m_journal.staging))
        error = lastError() ? lastError() : EEXIST;
    if (error) {
        return fail(tr("Cannot make the folder %1 for the new release: %2")
                        .arg(nativePath(stagingDir()), describe(error)));
    }
    hide(m_appDir + m_journal.staging);
    // Named for its release from the start, so that a run that is killed or
    // loses its power leaves what it fetched to the next run of that release.
    // (Not flushed: a mark lost costs only the bytes fetched again.)
    if (!release.isEmpty())
        writeFileInOneStep(keptRecord(stagingDir()), KeptTitle + release.toUtf8() + '\n', Flush::Later);
    return true;
}

int Swap::keepStaging(const QString &release)
{
    return writeFileInOneStep(keptRecord(stagingDir()), KeptTitle + release.toUtf8() + '\n');
}

void Swap::discardUnclaimed(const QString &appDir, const QString &executableName, const QString &release)
{
    const QDir dir(appDir);
    for (const QString &name : dir.entryList({stagingPrefix(executableName) + u'*'},
                                             QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (release.isEmpty() || keptFor(appDir + name + u'/') != release)
            removeTree(appDir + name);
    }
}

QString Swap::linkInTheWay(const QString &appDir, const QString &path)
{
    for (qsizetype slash = path.indexOf(u'/'); slash >= 0; slash = path.indexOf(u'/', slash + 1)) {
        const QFileInfo folder(appDir + path.left(slash));
        if (folder.isSymLink() || folder.isJunction() || (folder.exists() && !folder.isDir()))
            return folder.filePath();
    }
    const QFileInfo file(appDir + path);
    return file.isSymLink() || file.isJunction() || file.isDir() ? file.filePath() : QString();
}

QString Swap::freeName(const QString &appDir, const QString &backupName, const QStringList &reserved)
{
    for (int n = 1; n < 1000; ++n) {
        const QString name = n == 1 ? backupName : QStringLiteral("%1 (%2)").arg(backupName).arg(n);
        const bool taken = std::any_of(reserved.cbegin(), reserved.cend(), [&name](const QString &used) {
            return used.compare(name, Qt::CaseInsensitive) == 0;
        });
        if (!taken && !exists(appDir + name))
            return name;
    }
    return {};
}

QString Swap::backupPath() const
{
    if (!m_journal.backup.isEmpty())
        return m_appDir + m_journal.backup;
    for (const SwapChange &change : m_journal.changes) {
        if (!change.kept.isEmpty())
            return m_appDir + change.kept;
    }
    return {};
}

QString Swap::shown(const SwapChange &change) const
{
    return change.path == m_executableName ? tr("program") : nativePath(m_appDir + change.path);
}

bool Swap::failAndUndo(const QString &error)
{
    if (m_journal.undo(m_appDir, m_executableName, false) != 0)
        return fail(error + u' ' + tr("The previous version will be put back when the updater next starts."));
    return fail(error);
}

bool Swap::install(const QList<SwapChange> &changes, const QString &backupName, Backup backup,
                   const QStringList &reservedNames)
{
    // What each path holds is taken as it is now, not as it was when the
    // update was planned: a file that appeared meanwhile is kept like a
    // replaced one, and one that went needs no move.
    m_journal.changes.clear();
    m_journal.backup.clear();
    m_displaced.clear();
    for (SwapChange change : changes) {
        if (const QString link = linkInTheWay(m_appDir, change.path); !link.isEmpty())
            return fail(tr("Nothing was installed: %1 in the folder is a link or a folder.").arg(nativePath(link)));
        const bool present = exists(m_appDir + change.path);
        if (change.kind == SwapChange::Kind::Add && present) {
            change.kind = SwapChange::Kind::Replace;
            m_displaced << change.path;
        } else if (change.kind == SwapChange::Kind::Replace && !present) {
            change.kind = SwapChange::Kind::Add;
        } else if (change.kind == SwapChange::Kind::Remove && !present) {
            continue;
        }
        m_journal.changes << change;
    }
    const QString keptName = freeName(m_appDir, backupName, reservedNames);
    if (keptName.isEmpty())
        return fail(tr("Cannot keep the previous version: every name made from %1 is taken.").arg(backupName));
    if (backup == Backup::Folder)
        m_journal.backup = keptName;
    for (SwapChange &change : m_journal.changes) {
        const bool hasOld = change.kind != SwapChange::Kind::Add;
        change.keepByLink = backup == Backup::BesideProgram;
        if (change.keepByLink) {
            change.kept = hasOld ? keptName : QString();
            change.displaced = hasOld ? Journal::displacedPrefix(m_executableName)
                    + QUuid::createUuid().toString(QUuid::WithoutBraces).left(8)
                                      : QString();
            // The new program runs as the old one did: its permissions (on Windows, its attributes).
            if (hasOld) {
                if (const int error = copyAttributes(m_appDir + change.path, m_appDir + change.staged)) {
                    return fail(tr("Cannot give the new version the permissions of %1: %2")
                                    .arg(nativePath(m_appDir + change.path), describe(error)));
                }
            }
        } else {
            change.kept = hasOld ? keptName + u'/' + change.path : QString();
            change.staged = change.kind != SwapChange::Kind::Remove ? m_journal.staging + u'/' + change.path : QString();
        }
    }
    const QString journalFile = Journal::path(m_appDir, m_executableName);
    if (const int error = m_journal.write(journalFile)) {
        removeFile(journalFile);
        return fail(tr("Cannot record the update in %1: %2").arg(nativePath(journalFile), describe(error)));
    }

    // The old bytes under their second names, all durable before any new file takes a name.
    QStringList touched;
    for (const SwapChange &change : std::as_const(m_journal.changes)) {
        if (change.kind == SwapChange::Kind::Add)
            continue;
        const QString installed = m_appDir + change.path;
        const QString kept = m_appDir + change.kept;
        int error = makeFolders(parentOf(kept));
        if (!error && change.keepByLink) {
            error = linkFile(installed, kept);
            if (error && linksUnsupported(error))
                error = copyFile(installed, kept);
        } else if (!error) {
            error = renameOver(installed, kept);
            touched << parentOf(installed);
        }
        touched << parentOf(kept);
        if (error)
            return failAndUndo(tr("Cannot keep the old %1 as %2: %3").arg(shown(change), nativePath(kept), describe(error)));
    }
    if (const int error = syncFolders(touched))
        return failAndUndo(tr("Cannot keep the previous version in %1: %2").arg(nativePath(backupPath()), describe(error)));

    touched.clear();
    for (const SwapChange &change : std::as_const(m_journal.changes)) {
        if (change.kind == SwapChange::Kind::Remove)
            continue;
        const QString installed = m_appDir + change.path;
        const QString staged = m_appDir + change.staged;
        int error = makeFolders(parentOf(installed));
        if (!error)
            error = change.keepByLink ? renameOverOnce(staged, installed) : renameOver(staged, installed);
#if defined(Q_OS_WIN)
        // A running program cannot be replaced, but it can be moved aside; a file
        // that a scanner holds for a moment is tried again.
        if (change.keepByLink && !change.displaced.isEmpty()
            && (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)) {
            const QString displaced = m_appDir + change.displaced;
            error = renameOver(installed, displaced);
            if (!error) {
                error = renameOver(staged, installed);
                if (error && renameOver(displaced, installed) != 0) {
                    // The old program is whole under two names; the journal says which.
                    return fail(tr("Cannot put the new version of %1 in place (%2). The previous version stays as "
                                   "%3 and will be put back when the updater next starts.")
                                    .arg(nativePath(installed), describe(error), nativePath(m_appDir + change.kept)));
                }
            }
        }
#endif
        touched << parentOf(installed) << parentOf(staged);
        if (error)
            return failAndUndo(tr("Cannot put the new version of %1 in place: %2").arg(nativePath(installed), describe(error)));
    }
    if (const int error = syncFolders(touched))
        return failAndUndo(tr("Cannot put the new version in place: %1").arg(describe(error)));
    return true;
}

bool Swap::rollback()
{
    if (const int error = m_journal.undo(m_appDir, m_executableName)) {
        return fail(tr("Cannot put the previous version back (%1). It will be put back when the updater next "
                       "starts.").arg(describe(error)));
    }
    return true;
}

bool Swap::commit()
{
    const QString journalFile = Journal::path(m_appDir, m_executableName);
    if (const int error = removeFile(journalFile)) {
        // The new version ran: the next start is to complete this update, not to undo it.
        const bool marked = Journal::markRan(journalFile) == 0;
        return fail((marked ? tr("Cannot record the end of the update in %1 (%2). The update will be completed "
                                 "when the updater next starts.")
                            : tr("Cannot record the end of the update in %1 (%2). The previous version will be "
                                 "put back when the updater next starts."))
                        .arg(nativePath(journalFile), describe(error)));
    }
    // Should this not reach the disk, a power cut brings the journal back, and
    // the next start puts the old version back: still a whole one.
    syncFolder(m_appDir);
    // A program moved aside while it ran; if it still runs, the next start removes it.
    for (const SwapChange &change : std::as_const(m_journal.changes)) {
        if (!change.displaced.isEmpty() && exists(m_appDir + change.displaced))
            removeFile(m_appDir + change.displaced);
    }
    if (!m_journal.staging.isEmpty())
        removeTree(m_appDir + m_journal.staging);
    if (!m_journal.backup.isEmpty())
        pruneBackups();
    return true;
}

// The backups this updater made for releases are the folders named after the
// release that their record names (or that name with " (2)"...): a folder of
// the user's own has no such record. The two newest stay.
void Swap::pruneBackups()
{
    static const QRegularExpression counted(QStringLiteral(" \\(\\d+\\)$"));
    QList<QPair<qint64, QString>> backups;
    const QDir dir(m_appDir);
    for (const QString &name : dir.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        QFile record;
        if (!isOwnFolder(m_appDir + name)
            || openPlainFile(record, m_appDir + name + u'/' + QLatin1String(RecordName), QIODevice::ReadOnly) != 0) {
            continue;
        }
        const QList<QByteArray> lines = record.read(4096).split('\n');
        const QString release = lines.size() > 1 && lines.at(1).startsWith("release: ")
            ? QString::fromUtf8(lines.at(1).mid(9))
            : QString();
        bool dated = false;
        const qint64 date = release.section(u'-', -1).toLongLong(&dated);
        if (dated && QString(name).remove(counted) == release)
            backups.append({date, name});
    }
    std::sort(backups.begin(), backups.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    for (qsizetype i = 2; i < backups.size(); ++i) {
        if (removeTree(m_appDir + backups.at(i).second) == 0)
            m_pruned << backups.at(i).second;
    }
}

} // namespace Tarvino
