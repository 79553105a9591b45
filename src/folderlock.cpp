#include "folderlock.h"

#include "fileops.h"

namespace Tarvino {

FolderLock::FolderLock(const QString &appDir, const QString &executableName)
    : m_path(appDir + u'.' + executableName + QStringLiteral(".lock")), m_lock(m_path)
{
    m_lock.setStaleLockTime(StaleAfterMs);
}

bool FolderLock::tryLock()
{
    if (!m_lock.tryLock(0))
        return false;
    FileOps::hide(m_path);
    return true;
}

QString FolderLock::errorString() const
{
    if (isBusy())
        return tr("Another update of this program is in progress.");
    return tr("No update can be installed: the folder of %1 cannot be written.")
        .arg(FileOps::nativePath(m_path.section(u'/', 0, -2)));
}

} // namespace Tarvino
