#include "releaseswap.h"

#include "fileops.h"
#include "journal.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QUuid>

#include <cerrno>

namespace Tarvino {

using namespace FileOps;

namespace {

constexpr char Title[] = "Tarvino release journal 1";

const char *kindWord(ReleaseChange::Kind kind)
{
    switch (kind) {
    case ReleaseChange::Kind::Replace:
        return "replace";
    case ReleaseChange::Kind::Add:
        return "add";
    case ReleaseChange::Kind::Remove:
        return "remove";
    }
    return "";
}

QString parentOf(const QString &path)
{
    return QFileInfo(path).absolutePath();
}

// Each folder whose entries changed, flushed once.
int syncFolders(const QStringList &dirs)
{
    QSet<QString> done;
    for (const QString &dir : dirs) {
        // A folder removed on the way has nothing left to flush; its parent is flushed too.
        if (done.contains(dir) || !QFileInfo(dir).isDir())
            continue;
        done.insert(dir);
        if (const int error = syncFolder(dir))
            return error;
    }
    return 0;
}

// Removes the folders under and including dir that hold no file.
void removeEmptyFolders(const QString &dir)
{
    const QStringList children = QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString &child : children)
        removeEmptyFolders(dir + u'/' + child);
    QDir().rmdir(dir);
}

// A folder itself, not a link or a junction to one.
bool isOwnFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink() && !info.isJunction();
}

bool isPlainRelative(const QString &path)
{
    return !path.isEmpty() && !path.startsWith(u'/') && !path.contains(u'\\') && !path.contains(u':')
        && !path.split(u'/').contains(QStringLiteral("..")) && !path.split(u'/').contains(QString());
}

} // namespace

bool ReleaseJournal::isReleaseJournal(const QByteArray &text)
{
    return text.startsWith(QByteArray(Title) + '\n');
}

QByteArray ReleaseJournal::toText() const
{
    QByteArray text = QByteArray(Title) + "\nstaging " + staging.toUtf8() + "\nkept " + kept.toUtf8() + '\n';
    for (const ReleaseChange &change : changes)
        text += QByteArray(kindWord(change.kind)) + ' ' + change.path.toUtf8() + '\n';
    return text;
}

bool ReleaseJournal::parse(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 4 || lines.at(0) != Title || !lines.constLast().isEmpty() || !lines.at(1).startsWith("staging ")
        || !lines.at(2).startsWith("kept ")) {
        return false;
    }
    lines.removeLast();
    staging = QString::fromUtf8(lines.at(1).mid(8));
    kept = QString::fromUtf8(lines.at(2).mid(5));
    changes.clear();
    for (const QByteArray &line : lines.mid(3)) {
        ReleaseChange change;
        const QByteArray word = line.left(line.indexOf(' '));
        change.path = QString::fromUtf8(line.mid(word.size() + 1));
        if (word == "replace")
            change.kind = ReleaseChange::Kind::Replace;
        else if (word == "add")
            change.kind = ReleaseChange::Kind::Add;
        else if (word == "remove")
            change.kind = ReleaseChange::Kind::Remove;
        else
            return false;
        if (!isPlainRelative(change.path))
            return false;
        changes.append(change);
    }
    return isPlainRelative(staging) && !staging.contains(u'/') && isPlainRelative(kept) && !kept.contains(u'/');
}

int ReleaseJournal::undo(const QString &appDir, const QString &journalPath) const
{
    QStringList touched{appDir};
    for (auto change = changes.crbegin(); change != changes.crend(); ++change) {
        const QString installed = appDir + change->path;
        const QString keptPath = appDir + kept + u'/' + change->path;
        const QString staged = appDir + staging + u'/' + change->path;
        if (change->kind != ReleaseChange::Kind::Add && exists(keptPath)) {
            if (const int error = renameOver(keptPath, installed))
                return error;
            touched << parentOf(installed) << parentOf(keptPath);
        } else if (change->kind == ReleaseChange::Kind::Add) {
            if (!exists(staged) && exists(installed)) {
                if (const int error = removeFile(installed))
                    return error;
            }
            touched << parentOf(installed) << appDir;
            // And the folders it had to make, which are empty again.
            const QString top = QDir::cleanPath(appDir);
            for (QString dir = parentOf(installed); dir.startsWith(top + u'/') && QDir().rmdir(dir);)
                dir = parentOf(dir);
        }
    }
    if (const int error = syncFolders(touched))
        return error;
    removeTree(appDir + staging);
    removeEmptyFolders(appDir + kept);
    if (const int error = removeFile(journalPath))
        return error;
    syncFolder(appDir);
    return 0;
}

ReleaseSwap::ReleaseSwap(const QString &appDir, const QString &executableName)
    : m_appDir(appDir), m_executableName(executableName)
{
}

QString ReleaseSwap::stagingPrefix(const QString &executableName)
{
    return u'.' + executableName + QStringLiteral(".release-");
}

bool ReleaseSwap::fail(const QString &error)
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

QString ReleaseSwap::keptFor(const QString &stagingDir)
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

bool ReleaseSwap::prepare(const QString &release)
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
    return true;
}

int ReleaseSwap::keepStaging(const QString &release)
{
    return writeFileInOneStep(keptRecord(stagingDir()), KeptTitle + release.toUtf8() + '\n');
}

void ReleaseSwap::discardUnclaimed(const QString &appDir, const QString &executableName, const QString &release)
{
    const QDir dir(appDir);
    for (const QString &name : dir.entryList({stagingPrefix(executableName) + u'*'},
                                             QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (release.isEmpty() || keptFor(appDir + name + u'/') != release)
            removeTree(appDir + name);
    }
}

QString ReleaseSwap::linkInTheWay(const QString &appDir, const QString &path)
{
    for (qsizetype slash = path.indexOf(u'/'); slash >= 0; slash = path.indexOf(u'/', slash + 1)) {
        const QFileInfo folder(appDir + path.left(slash));
        if (folder.isSymLink() || folder.isJunction() || (folder.exists() && !folder.isDir()))
            return folder.filePath();
    }
    const QFileInfo file(appDir + path);
    return file.isSymLink() || file.isJunction() || file.isDir() ? file.filePath() : QString();
}

bool ReleaseSwap::install(const QList<ReleaseChange> &changes, const QString &backupName,
                          const QStringList &releaseNames)
{
    // What each path holds is taken as it is now, not as it was when the
    // release was planned: a file that appeared meanwhile is kept like a
    // replaced one, and one that went needs no move.
    m_journal.changes.clear();
    m_displaced.clear();
    for (ReleaseChange change : changes) {
        if (const QString link = linkInTheWay(m_appDir, change.path); !link.isEmpty()) {
            return fail(tr("The release is not installed: %1 in the folder is a link or a folder.")
                            .arg(nativePath(link)));
        }
        const bool present = exists(m_appDir + change.path);
        if (change.kind == ReleaseChange::Kind::Add && present) {
            change.kind = ReleaseChange::Kind::Replace;
            m_displaced << change.path;
        } else if (change.kind == ReleaseChange::Kind::Replace && !present) {
            change.kind = ReleaseChange::Kind::Add;
        } else if (change.kind == ReleaseChange::Kind::Remove && !present) {
            continue;
        }
        m_journal.changes << change;
    }
    for (int n = 1; n < 1000 && m_journal.kept.isEmpty(); ++n) {
        const QString name = n == 1 ? backupName : QStringLiteral("%1 (%2)").arg(backupName).arg(n);
        const bool taken = std::any_of(releaseNames.cbegin(), releaseNames.cend(), [&name](const QString &used) {
            return used.compare(name, Qt::CaseInsensitive) == 0;
        });
        if (!taken && !exists(m_appDir + name))
            m_journal.kept = name;
    }
    if (m_journal.kept.isEmpty())
        return fail(tr("Cannot keep the previous release: every name made from %1 is taken.").arg(backupName));
    const QString journalFile = Journal::path(m_appDir, m_executableName);
    if (const int error = writeFileInOneStep(journalFile, m_journal.toText()))
        return fail(tr("Cannot record the update in %1: %2").arg(nativePath(journalFile), describe(error)));

    const QString kept = backupPath() + u'/';
    const QString staged = stagingDir();
    for (const ReleaseChange &change : std::as_const(m_journal.changes)) {
        const QString installed = m_appDir + change.path;
        QStringList touched;
        int error = 0;
        if (change.kind != ReleaseChange::Kind::Add) {
            error = makeFolders(parentOf(kept + change.path));
            if (!error)
                error = renameOver(installed, kept + change.path);
            touched << parentOf(installed) << parentOf(kept + change.path);
        }
        if (!error && change.kind != ReleaseChange::Kind::Remove) {
            error = makeFolders(parentOf(installed));
            if (!error)
                error = renameOver(staged + change.path, installed);
            touched << parentOf(installed) << parentOf(staged + change.path);
        }
        if (!error)
            error = syncFolders(touched);
        if (error) {
            const QString message = tr("Cannot put %1 of the new release in place: %2")
                                        .arg(nativePath(installed), describe(error));
            if (m_journal.undo(m_appDir, journalFile) != 0)
                return fail(message + u' ' + tr("The previous release will be put back when the updater next starts."));
            return fail(message);
        }
    }
    return true;
}

bool ReleaseSwap::rollback()
{
    if (const int error = m_journal.undo(m_appDir, Journal::path(m_appDir, m_executableName))) {
        return fail(tr("Cannot put the previous release back (%1). It will be put back when the updater next "
                       "starts.").arg(describe(error)));
    }
    return true;
}

bool ReleaseSwap::commit()
{
    const QString journalFile = Journal::path(m_appDir, m_executableName);
    if (const int error = removeFile(journalFile)) {
        const bool marked = Journal::markRan(journalFile) == 0;
        return fail((marked ? tr("Cannot record the end of the update in %1 (%2). The update will be completed "
                                 "when the updater next starts.")
                            : tr("Cannot record the end of the update in %1 (%2). The previous release will be "
                                 "put back when the updater next starts."))
                        .arg(nativePath(journalFile), describe(error)));
    }
    syncFolder(m_appDir);
    removeTree(m_appDir + m_journal.staging);
    pruneBackups();
    return true;
}

// The backups this updater made for releases are the folders named after the
// release that their record names (or that name with " (2)"...): a folder of
// the user's own has no such record. The two newest stay.
void ReleaseSwap::pruneBackups()
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
