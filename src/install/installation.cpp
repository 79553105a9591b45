#include "installation.h"

#include "fileops.h"

#include <QFile>
#include <QFileInfo>
#include <QUuid>

#if defined(Q_OS_WIN)
#  include <windows.h>
#endif

namespace Tarvino {

using namespace FileOps;

Installation::Installation(const QString &appDir, const QString &executableName)
    : m_appDir(appDir), m_executableName(executableName)
{
}

bool Installation::fail(const QString &error)
{
    m_error = error;
    return false;
}

QString Installation::freeBackupName(const QString &appDir, const QString &backupName)
{
    for (int n = 1; n < 1000; ++n) {
        const QString name = n == 1 ? backupName : QStringLiteral("%1 (%2)").arg(backupName).arg(n);
        if (!exists(appDir + name))
            return name;
    }
    return {};
}

// Should the undo not be possible now, the journal stays and the next start
// finishes it. The staged build is its owner's to remove.
void Installation::undo()
{
    m_journal.undo(m_appDir, m_executableName, false);
}

bool Installation::install(const QString &stagedPath, const QString &backupName)
{
    m_error.clear();
    m_hadOld = exists(executablePath());
    const QString exe = nativePath(executablePath());
    if (!m_hadOld) {
        if (const int error = renameOver(stagedPath, executablePath()))
            return fail(tr("Cannot put the new build in place as %1: %2").arg(exe, describe(error)));
        syncFolder(m_appDir);
        return true;
    }

    if (const int error = copyAttributes(executablePath(), stagedPath)) {
        return fail(tr("Cannot give the new build the permissions of %1: %2").arg(exe, describe(error)));
    }
    m_journal.staged = QFileInfo(stagedPath).fileName();
    m_journal.kept = freeBackupName(m_appDir, backupName);
    m_journal.displaced =
        Journal::displacedPrefix(m_executableName) + QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
    if (m_journal.kept.isEmpty())
        return fail(tr("Cannot keep the old program: every name made from %1 is taken.").arg(backupName));
    const QString keptPath = m_appDir + m_journal.kept;
    const QString journalFile = Journal::path(m_appDir, m_executableName);
    if (const int error = m_journal.write(journalFile)) {
        removeFile(journalFile);
        return fail(tr("Cannot record the update in %1: %2").arg(nativePath(journalFile), describe(error)));
    }

    int error = linkFile(executablePath(), keptPath);
    if (error && linksUnsupported(error))
        error = copyFile(executablePath(), keptPath);
    if (!error)
        error = syncFolder(m_appDir);
    if (error) {
        undo();
        return fail(tr("Cannot keep the old program as %1: %2").arg(nativePath(keptPath), describe(error)));
    }

    error = renameOverOnce(stagedPath, executablePath());
#if defined(Q_OS_WIN)
    // A running program cannot be replaced, but it can be moved aside; a file
    // that a scanner holds for a moment is tried again.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        const QString displaced = m_appDir + m_journal.displaced;
        error = renameOver(executablePath(), displaced);
        if (!error) {
            error = renameOver(stagedPath, executablePath());
            if (error && renameOver(displaced, executablePath()) != 0) {
                // The old program is whole under two names; the journal says which.
                return fail(tr("Cannot put the new build in place of %1 (%2). The previous version stays as %3 "
                               "and will be put back when the updater next starts.")
                                .arg(exe, describe(error), nativePath(keptPath)));
            }
        }
    }
#endif
    if (error) {
        undo();
        return fail(tr("Cannot put the new build in place of %1: %2").arg(exe, describe(error)));
    }
    if (const int syncError = syncFolder(m_appDir)) {
        rollback();
        return fail(tr("Cannot put the new build in place of %1: %2").arg(exe, describe(syncError)));
    }
    return true;
}

bool Installation::rollback()
{
    const QString exe = nativePath(executablePath());
    if (!m_hadOld) {
        const int error = removeFile(executablePath());
        syncFolder(m_appDir);
        return error ? fail(tr("Cannot remove the new build %1: %2").arg(exe, describe(error))) : true;
    }
    if (const int error = m_journal.undo(m_appDir, m_executableName)) {
        return fail(tr("Cannot put the previous version back from %1 (%2). It will be put back when the updater "
                       "next starts.")
                        .arg(nativePath(m_appDir + m_journal.kept), describe(error)));
    }
    return true;
}

bool Installation::commit()
{
    if (!m_hadOld)
        return true;
    const QString journalFile = Journal::path(m_appDir, m_executableName);
    if (const int error = removeFile(journalFile)) {
        // The new program ran: the next start is to complete this update, not to undo it.
        const bool marked = Journal::markRan(journalFile) == 0;
        return fail((marked ? tr("Cannot record the end of the update in %1 (%2). The update will be completed "
                                 "when the updater next starts.")
                            : tr("Cannot record the end of the update in %1 (%2). The previous version will "
                                 "be put back when the updater next starts."))
                        .arg(nativePath(journalFile), describe(error)));
    }
    // Should this not reach the disk, a power cut brings the journal back, and
    // the next start puts the old program back: still a whole program.
    syncFolder(m_appDir);
    // A program moved aside while it ran; if it still runs, the next start removes it.
    if (exists(m_appDir + m_journal.displaced))
        removeFile(m_appDir + m_journal.displaced);
    return true;
}

} // namespace Tarvino
