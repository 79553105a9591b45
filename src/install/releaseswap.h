#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>

// Moving an application folder from one release to another in one journaled
// swap: every file that differs is moved into a folder named after the old
// identity (the backup) and the new one moved into its place, every added file
// moved in, every removed one moved into the backup. Only renames: no file is
// copied, whatever the drive, and on Windows a program or library in use can
// be moved like any other. A journal written before the first change lets the
// next start put the previous release back whole when the process dies; the
// commit, once the new release has run, removes it.
namespace Tarvino {

struct ReleaseChange
{
    enum class Kind { Replace, Add, Remove };
    Kind kind = Kind::Replace;
    QString path; // relative to the folder, with "/"
};

struct ReleaseJournal
{
    QString staging; // the hidden folder that holds the new files at their paths
    QString kept;    // the folder that keeps the previous release's files
    QList<ReleaseChange> changes;

    static bool isReleaseJournal(const QByteArray &text);
    QByteArray toText() const;
    bool parse(const QByteArray &text);

    // Puts every file the swap moved back, removes what it added, the staged
    // files and the backup folder it made, then the journal at journalPath.
    // 0, or the error code of the step that cannot be done now; the journal
    // then stays for a later start.
    int undo(const QString &appDir, const QString &journalPath) const;
};

class ReleaseSwap
{
    Q_DECLARE_TR_FUNCTIONS(Tarvino::ReleaseSwap)

public:
    ReleaseSwap(const QString &appDir, const QString &executableName);

    // Where a folder keeps the manifest of the release it holds; a backup folder keeps the previous one's.
    static constexpr char RecordName[] = "TarvinoRelease.txt";

    // Hidden folders of staged releases, which a start sweeps when no journal names them.
    static QString stagingPrefix(const QString &executableName);

    // Makes the staging folder, or takes up the one an earlier run kept for
    // this release; the new files go to stagingDir() + their paths.
    bool prepare(const QString &release);
    // Leaves the staging folder, recorded in it, for a later run of the release.
    int keepStaging(const QString &release);
    // The release a staging folder was kept for; empty when none.
    static QString keptFor(const QString &stagingDir);
    // After the check at start: removes the kept staging folders that are not
    // for release, the one on offer (none: empty).
    static void discardUnclaimed(const QString &appDir, const QString &executableName, const QString &release);
    QString stagingDir() const { return m_appDir + m_journal.staging + u'/'; }

    // The backup folder is backupName, or the first free "backupName (2)"...,
    // never one of the new release's own top-level names. On failure the
    // previous release is in place, or the journal stays for the next start.
    bool install(const QList<ReleaseChange> &changes, const QString &backupName, const QStringList &releaseNames);
    bool rollback();
    bool commit();

    QString backupPath() const { return m_appDir + m_journal.kept; }
    // After install(): the paths the release adds where a file stood by the
    // time of the swap, which was kept in the backup folder like a replaced one.
    QStringList displaced() const { return m_displaced; }
    // After commit(): the backup folders of releases older than the previous two, removed.
    QStringList pruned() const { return m_pruned; }

    // The link, junction or non-folder that stands at path, or on the way to
    // it, in the folder; empty when there is none.
    static QString linkInTheWay(const QString &appDir, const QString &path);
    QString errorString() const { return m_error; }

private:
    bool fail(const QString &error);
    void pruneBackups();
    QString m_appDir;
    QString m_executableName;
    ReleaseJournal m_journal;
    QStringList m_displaced;
    QStringList m_pruned;
    QString m_error;
};

} // namespace Tarvino
