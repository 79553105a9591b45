#include "folderlock.h"

#include "fileops.h"

#include <QFileInfo>

namespace Tarvino {

FolderLock::FolderLock(const QString &appDir, const QString &executableName)
    : m_path(appDir + u'.' + executableName + QStringLiteral(".lock")), m_lock(m_path)
{
    m_lock.setStaleLockTime(StaleAfterMs);
}

bool FolderLock::tryLock()
{
    // Only a lock file is the updater's to take over; anything else at its name
    // is left alone, and said.
    const QFileInfo found(m_path);
    if (found.isSymLink())
        m_inTheWay = tr("a link");
    else if (found.isDir())
        m_inTheWay = tr("a folder");
    else if (found.exists() && !found.isFile())
        m_inTheWay = tr("something that is not a file");
    if (!m_inTheWay.isEmpty() || !m_lock.tryLock(0))
        return false;
    FileOps::hide(m_path);
    return true;
}

QString FolderLock::errorString() const
{
    if (!m_inTheWay.isEmpty()) {
        return tr("No update can be installed: %1, %2, stands where the updater keeps its lock file. Move it "
                  "away, then start the updater again.")
            .arg(FileOps::nativePath(m_path), m_inTheWay);
    }
    if (isBusy())
        return tr("Another update of this program is in progress.");
    return tr("No update can be installed: the folder %1 cannot be written. Move the application to a folder of "
              "your own, or run the updater as an administrator.")
        .arg(FileOps::nativePath(m_path.section(u'/', 0, -2)));
}

} // namespace Tarvino
