#pragma once

#include <QCoreApplication>
#include <QLockFile>
#include <QString>

namespace Tarvino {

// One updater at a time in an application folder: held from the recovery at
// start to the end of the update, so that no updater undoes, sweeps or races
// another's work. A lock whose holder has died (killed, or the machine
// restarted) is taken over at once; one whose holder cannot be judged (another
// machine on a shared folder) after StaleAfterMs.
class FolderLock
{
    Q_DECLARE_TR_FUNCTIONS(Tarvino::FolderLock)

public:
    static constexpr int StaleAfterMs = 60 * 1000;

    FolderLock(const QString &appDir, const QString &executableName);

    bool tryLock();
    // After a failed tryLock(): whether another updater holds the lock, rather
    // than the folder refusing the lock file or something else standing at its name.
    bool isBusy() const { return m_inTheWay.isEmpty() && m_lock.error() == QLockFile::LockFailedError; }
    QString errorString() const;

private:
    QString m_path;
    QLockFile m_lock;
    // What stands at the lock's name instead of a lock file: "a folder", "a link"...
    QString m_inTheWay;
};

} // namespace Tarvino
