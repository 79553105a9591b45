#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// What an update in progress records before its first change to the folder,
// enough for the next start to undo it without guessing, and that undoing.
namespace Tarvino {

// One path of the folder that an update changes. Every name is relative to the
// folder, with "/".
struct SwapChange
{
    enum class Kind { Replace, Add, Remove };
    SwapChange() = default;
    SwapChange(Kind kind, const QString &path, const QString &staged = {}) : kind(kind), path(path), staged(staged) {}

    Kind kind = Kind::Replace;
    QString path;   // the installed file
    QString staged; // where the new bytes wait (Replace, Add)
    QString kept;   // the second name the old bytes get (Replace, Remove): the backup
    // The old bytes get their second name by a hard link (or a copy) and the new
    // ones are renamed over them, so that the path never lacks a whole file;
    // otherwise the old file is moved into the backup and the new one moved in.
    bool keepByLink = false;
    QString displaced; // Windows, keepByLink: where a running program is moved aside
};

struct Journal
{
    QString staging; // a folder of staged files, removed at the end; may be empty
    QString backup;  // a folder that keeps the old files; may be empty
    QList<SwapChange> changes;

    static QString path(const QString &appDir, const QString &executableName);
    // Beside a journal that could not be removed after the new program ran: the
    // next start completes that update instead of undoing it.
    static QString ranMarker(const QString &journalPath) { return journalPath + QStringLiteral(".ran"); }
    // Writes that marker, flushed. 0 or the error code.
    static int markRan(const QString &journalPath);
    // Hidden names of programs moved aside while they ran.
    static QString displacedPrefix(const QString &executableName);

    QByteArray toText() const;
    // Reads this journal, and the two kinds that earlier updaters wrote (one
    // for a single build, one for a release). False when the text is none of them.
    bool parse(const QByteArray &text, const QString &executableName);

    // Written beside its place, flushed, then renamed into it: the journal is
    // either absent or complete. 0 or the error code.
    int write(const QString &path) const;

    // Puts every old file back under its name and removes what the update
    // added, the staging folder, the staged files outside it (unless
    // removeStaged is false: their owner still runs) and the emptied backup
    // folder, then the journal. Each step is
    // decided by what the folder holds now, so an undo that was itself cut off
    // can be run again. 0, or the error code of the step that cannot be done
    // now; the journal then stays for a later start.
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
