#pragma once

#include "journal.h"

#include <QCoreApplication>
#include <QString>

// Installing a downloaded build in the application directory so that, at every
// instant and whatever fails or whenever the process dies, the executable's
// name holds either the complete old bytes or the complete new ones.
//
// The swap, for the program E, the staged build S and the backup name B:
//   1. S gets E's permissions (on Windows, its attributes);
//   2. a journal naming S and K, the name that will keep the old bytes, is
//      written and flushed beside E (.E.journal); K is B, or "B (2)", "B (3)"...
//      when B is taken: nothing already there is ever replaced or removed;
//   3. the old bytes get the second name K by a hard link, or, on drives
//      without hard links, by a copy that is flushed and checked for size;
//   4. S is renamed over E, which replaces it in one step;
//   5. once the new program has started, the journal is removed (the commit).
// Every change to the folder is flushed to the disk before the next step. A
// journal found at the next start means the update never committed: the old
// bytes go back under E, and K, which this update made, goes.
namespace Tarvino {

class Installation
{
    Q_DECLARE_TR_FUNCTIONS(Tarvino::Installation)

public:
    Installation(const QString &appDir, const QString &executableName);

    // Keeps the old bytes under backupName, or a free name made from it, and
    // puts the staged file in the executable's place. On failure the old
    // program is in place and false is returned; where the folder could not be
    // put back as it was, the journal stays for the next start.
    bool install(const QString &stagedPath, const QString &backupName);

    // Puts the old executable back under its name.
    bool rollback();

    // The new executable stays.
    bool commit();

    // Where the old bytes are kept, once install() has succeeded.
    QString backupPath() const { return m_hadOld ? m_appDir + m_journal.kept : QString(); }
    QString errorString() const { return m_error; }

    // backupName, or the first of "backupName (2)", "backupName (3)"... that is free.
    static QString freeBackupName(const QString &appDir, const QString &backupName);

private:
    QString executablePath() const { return m_appDir + m_executableName; }
    bool fail(const QString &error);
    void undo();

    QString m_appDir;
    QString m_executableName;
    Journal m_journal;
    bool m_hadOld = false;
    QString m_error;
};

} // namespace Tarvino
