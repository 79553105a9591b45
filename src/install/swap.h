#pragma once

#include "journal.h"

#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>

// Moving the application folder from one version to another in one journaled
// swap, for a single program as for a whole release:
//   1. a journal naming every change is written and flushed beside the
//      program (.E.journal);
//   2. the old bytes of every file that changes get their second name, the
//      backup: for a single program a file named after the old identity beside
//      it ("B", then "B (2)"... when taken), kept by a hard link or, on drives
//      without them, a flushed copy, so that the program's name never lacks a
//      whole program; for a release, a folder of that name into which the old
//      files are moved (only renames, whatever the drive, and on Windows a
//      program or library in use moves like any other); the folders touched are
//      then flushed, once;
//   3. every new file is renamed into its place, and the folders flushed once;
//   4. once the new version has run, the journal is removed (the commit).
// Nothing already in the folder is ever replaced or removed: what stands at a
// path the release adds is kept like a replaced file. A journal found at the
// next start means the update never committed: the old files go back.
namespace Tarvino {

class Swap
{
    Q_DECLARE_TR_FUNCTIONS(Tarvino::Swap)

public:
    enum class Backup { BesideProgram, Folder };

    Swap(const QString &appDir, const QString &executableName);

    // Where a folder keeps the manifest of the release it holds; a backup folder keeps the previous one's.
    static constexpr char RecordName[] = "TarvinoRelease.txt";

    // Hidden folders of staged releases, which a start sweeps when no journal names them.
    static QString stagingPrefix(const QString &executableName);

    // Makes the staging folder, or takes up the one an earlier run kept for
    // this release; the new files go to stagingDir() + their paths.
    bool prepare(const QString &release);
    // Leaves the staging folder, recorded in it, for a later run of the release
    // (it is marked so when made, but not flushed until now).
    int keepStaging(const QString &release);
    // The release a staging folder was kept for; empty when none.
    static QString keptFor(const QString &stagingDir);
    // After the check at start: removes the kept staging folders that are not
    // for release, the one on offer (none: empty).
    static void discardUnclaimed(const QString &appDir, const QString &executableName, const QString &release);
    QString stagingDir() const { return m_appDir + m_journal.staging + u'/'; }

    // backupName, or the first of "backupName (2)", "backupName (3)"... that is
    // free and none of the reserved names (which the release itself brings).
    static QString freeName(const QString &appDir, const QString &backupName, const QStringList &reserved = {});

    // Swaps in the changes, planned anew from what each path holds now. With
    // Backup::BesideProgram each change names its staged file; with
    // Backup::Folder the staged files are in the staging folder at their paths.
    // On failure the previous version is in place, or the journal stays for
    // the next start.
    bool install(const QList<SwapChange> &changes, const QString &backupName, Backup backup,
                 const QStringList &reservedNames = {});
    bool rollback();
    bool commit();

    // Where the old bytes are kept, once install() has succeeded; empty when nothing was kept.
    QString backupPath() const;
    // After install(): the paths the release adds where a file stood by the
    // time of the swap, which was kept in the backup like a replaced one.
    QStringList displaced() const { return m_displaced; }
    // After commit(): the backup folders of releases older than the previous two, removed.
    QStringList pruned() const { return m_pruned; }

    // The link, junction or non-folder that stands at path, or on the way to
    // it, in the folder; empty when there is none.
    static QString linkInTheWay(const QString &appDir, const QString &path);
    QString errorString() const { return m_error; }

private:
    bool fail(const QString &error);
    bool failAndUndo(const QString &error);
    QString shown(const SwapChange &change) const;
    void pruneBackups();

    QString m_appDir;
    QString m_executableName;
    Journal m_journal;
    QStringList m_displaced;
    QStringList m_pruned;
    QString m_error;
};

} // namespace Tarvino
