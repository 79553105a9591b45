#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

// What an update in progress records before its first change to the folder,
// enough for the next start to undo it without guessing, and that undoing.
namespace Tarvino {

struct Journal
{
    QString staged;    // the new build, until it is renamed over the program
    QString kept;      // the second name of the old bytes: the backup
    QString displaced; // Windows only: where a running old program was moved aside

    static QString path(const QString &appDir, const QString &executableName);
    // Beside a journal that could not be removed after the new program ran: the
    // next start completes that update instead of undoing it.
    static QString ranMarker(const QString &journalPath) { return journalPath + QStringLiteral(".ran"); }
    // Writes that marker, flushed. 0 or the error code.
    static int markRan(const QString &journalPath);
    // Hidden names of programs moved aside while they ran.
    static QString displacedPrefix(const QString &executableName);

    QByteArray toText() const;
    bool parse(const QByteArray &text, const QString &executableName);

    // Written beside its place, flushed, then renamed into it: the journal is
    // either absent or complete. 0 or the error code.
    int write(const QString &path) const;

    // Puts the old program back under its name and removes what the update
    // made (the staged build too, unless its owner still runs), then the
    // journal. 0, or the error code of the step that could not be done now;
    // the journal then stays for a later start.
    int undo(const QString &appDir, const QString &executableName, bool removeStaged = true) const;
};

// What a start found of an earlier run and what it did about it.
struct RecoveryReport
{
    // For the user: said when an interrupted update was undone or completed,
    // or is still to be; empty when there was nothing more than leftovers.
    QString notice;
    // For support: each thing found, and what was done with it.
    QStringList details;
};

// At start: undoes an update an earlier run left uncommitted and removes what
// it left behind. A folder with nothing to recover is not touched. False when
// the undo could not be done now, or the journal is not one this updater can
// read; the journal then stays for a later start. Call it only while holding
// the folder's lock.
bool recoverInterruptedUpdate(const QString &appDir, const QString &executableName,
                              RecoveryReport *report = nullptr);

} // namespace Tarvino
