#include "stagingfile.h"

#include "fileops.h"

#include <QFileInfo>
#include <QUuid>

#if !defined(Q_OS_WIN)
#  include <cerrno>
#  include <fcntl.h>
#  include <unistd.h>
#endif

namespace Tarvino {

using namespace FileOps;

qint64 WriteBehindFile::writeData(const char *data, qint64 size)
{
    if (const int error = injected("write", fileName())) {
        setErrorString(describe(error));
        return -1;
    }
#if defined(Q_OS_WIN)
    const qint64 written = QFile::writeData(data, size);
    if (written <= 0)
        return written;
#else
    // Straight to the descriptor, so that the error is the system's own.
    qint64 written = 0;
    while (written < size) {
        const ssize_t n = ::write(handle(), data + written, size_t(size - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            setErrorString(describe(n < 0 ? errno : ENOSPC));
            return written > 0 ? written : -1;
        }
        written += n;
    }
#endif
    m_written += written;
#if defined(Q_OS_LINUX)
    constexpr qint64 Step = 8 * 1024 * 1024;
    if (m_written - m_handedOver >= Step) {
        // Starts the write-back of this range and returns at once.
        ::sync_file_range(handle(), m_handedOver, m_written - m_handedOver, SYNC_FILE_RANGE_WRITE);
        m_handedOver = m_written;
    }
#endif
    return written;
}

StagingFile::StagingFile(const QString &appDir, const QString &executableName)
    : m_file(appDir + prefix(executableName) + QUuid::createUuid().toString(QUuid::WithoutBraces).left(8))
{
}

StagingFile::~StagingFile()
{
    if (!m_released) {
        m_file.close();
        removeFile(m_file.fileName());
    }
}

QString StagingFile::prefix(const QString &executableName)
{
    return u'.' + executableName + QStringLiteral(".part-");
}

bool StagingFile::open()
{
    const int injectedError = injected("open", m_file.fileName());
    // Unbuffered: the chunks are large already, and a second copy would only cost time.
    if (!injectedError && m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        hide(m_file.fileName());
        return true;
    }
    m_error = tr("Cannot create %1: %2")
                  .arg(nativePath(m_file.fileName()),
                       injectedError ? describe(injectedError) : m_file.errorString());
    return false;
}

bool StagingFile::restart()
{
    if (m_file.restart())
        return true;
    m_error = tr("Cannot empty %1: %2").arg(nativePath(m_file.fileName()), m_file.errorString());
    return false;
}

bool StagingFile::complete(qint64 expectedSize)
{
    // A full disk may only show when the data reaches the disk, so each step is
    // checked and the size is read back from the file system.
    const int error = syncToDisk(m_file);
    m_file.close();
    if (error) {
        m_error = tr("Cannot write %1: %2").arg(nativePath(m_file.fileName()), describe(error));
        return false;
    }
    const qint64 onDisk = QFileInfo(m_file.fileName()).size();
    if (onDisk != expectedSize) {
        m_error = tr("%1 holds %2 bytes instead of %3.")
                      .arg(nativePath(m_file.fileName()))
                      .arg(onDisk)
                      .arg(expectedSize);
        return false;
    }
    if (!m_file.setPermissions(m_file.permissions() | QFileDevice::ExeOwner)) {
        m_error = tr("Cannot make %1 executable: %2").arg(nativePath(m_file.fileName()), m_file.errorString());
        return false;
    }
    return true;
}

} // namespace Tarvino
