#include "installation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUuid>

#if defined(Q_OS_WIN)
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <io.h>
#  include <windows.h>
#else
#  include <fcntl.h>
#  include <unistd.h>
#endif

namespace Tarvino {

namespace {

QString uniqueSuffix()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
}

QString oldPrefix(const QString &executableName)
{
    return u'.' + executableName + QStringLiteral(".old-");
}

bool syncToDisk(QFile &file)
{
#if defined(Q_OS_WIN)
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle())));
#else
    return ::fsync(file.handle()) == 0;
#endif
}

} // namespace

qint64 WriteBehindFile::writeData(const char *data, qint64 size)
{
    const qint64 written = QFile::writeData(data, size);
    if (written <= 0)
        return written;
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
    : m_file(appDir + prefix(executableName) + uniqueSuffix())
{
}

StagingFile::~StagingFile()
{
    if (!m_released) {
        m_file.close();
        m_file.remove();
    }
}

QString StagingFile::prefix(const QString &executableName)
{
    return u'.' + executableName + QStringLiteral(".part-");
}

bool StagingFile::open()
{
    // Unbuffered: the chunks are large already, and a second copy would only cost time.
    if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return true;
    m_error = tr("Cannot create %1: %2").arg(QDir::toNativeSeparators(m_file.fileName()), m_file.errorString());
    return false;
}

bool StagingFile::complete(qint64 expectedSize)
{
    // A full disk may only show when the last buffered bytes are flushed, so each
    // step is checked and the size is read back from the file system.
    QString writeError;
    if (!m_file.flush())
        writeError = m_file.errorString();
    else if (!syncToDisk(m_file))
        writeError = qt_error_string();
    m_file.close();
    if (writeError.isEmpty() && m_file.error() != QFileDevice::NoError)
        writeError = m_file.errorString();
    if (!writeError.isEmpty()) {
        m_error = tr("Cannot write %1: %2").arg(QDir::toNativeSeparators(m_file.fileName()), writeError);
        return false;
    }
    const qint64 onDisk = QFileInfo(m_file.fileName()).size();
    if (onDisk != expectedSize) {
        m_error = tr("%1 holds %2 bytes instead of %3.")
                      .arg(QDir::toNativeSeparators(m_file.fileName()))
                      .arg(onDisk)
                      .arg(expectedSize);
        return false;
    }
    if (!m_file.setPermissions(m_file.permissions() | QFileDevice::ExeOwner)) {
        m_error = tr("Cannot make %1 executable: %2")
                      .arg(QDir::toNativeSeparators(m_file.fileName()), m_file.errorString());
        return false;
    }
    return true;
}

void removeLeftovers(const QString &appDir, const QString &executableName)
{
    QDir dir(appDir);
    const QDir::Filters files = QDir::Files | QDir::Hidden | QDir::System;
    const QStringList setAside = dir.entryList({oldPrefix(executableName) + u'*'}, files, QDir::Time);
    // A run stopped in the middle of a swap: the set-aside old executable is the
    // only working one, so it goes back first.
    if (!setAside.isEmpty() && !QFileInfo::exists(dir.filePath(executableName)))
        QFile::rename(dir.filePath(setAside.constFirst()), dir.filePath(executableName));

    const QStringList leftovers = dir.entryList(
        {StagingFile::prefix(executableName) + u'*', oldPrefix(executableName) + u'*'}, files);
    for (const QString &name : leftovers)
        QFile::remove(dir.filePath(name));
}

Installation::Installation(const QString &appDir, const QString &executableName)
    : m_appDir(appDir), m_executableName(executableName)
{
}

bool Installation::fail(const QString &error)
{
    m_error = error;
    return false;
}

bool Installation::install(const QString &stagedPath, const QString &backupName)
{
    m_error.clear();
    m_hadOld = QFileInfo::exists(executablePath());
    m_oldIsTemporary = QFileInfo::exists(m_appDir + backupName);
    m_oldPath = m_oldIsTemporary ? m_appDir + oldPrefix(m_executableName) + uniqueSuffix()
                                 : m_appDir + backupName;

    if (m_hadOld && !QFile::rename(executablePath(), m_oldPath)) {
        return fail(tr("Cannot move %1 aside to %2.")
                        .arg(QDir::toNativeSeparators(executablePath()),
                             QDir::toNativeSeparators(m_oldPath)));
    }
    if (!QFile::rename(stagedPath, executablePath())) {
        const QString error = tr("Cannot move the new build to %1.")
                                  .arg(QDir::toNativeSeparators(executablePath()));
        if (m_hadOld && !QFile::rename(m_oldPath, executablePath())) {
            return fail(error + u' '
                        + tr("The previous version is kept as %1.")
                              .arg(QDir::toNativeSeparators(m_oldPath)));
        }
        return fail(error);
    }
    return true;
}

bool Installation::rollback()
{
    if (!m_hadOld)
        return QFile::remove(executablePath());
    // Move the new build out of the way first: a rename never replaces a file.
    const QString failedPath = m_appDir + StagingFile::prefix(m_executableName) + uniqueSuffix();
    if (!QFile::rename(executablePath(), failedPath))
        return fail(tr("Cannot move the new build away from %1.").arg(QDir::toNativeSeparators(executablePath())));
    if (!QFile::rename(m_oldPath, executablePath())) {
        QFile::rename(failedPath, executablePath());
        return fail(tr("Cannot put the previous version back from %1.").arg(QDir::toNativeSeparators(m_oldPath)));
    }
    QFile::remove(failedPath);
    return true;
}

void Installation::commit()
{
    if (m_hadOld && m_oldIsTemporary)
        QFile::remove(m_oldPath);
}

} // namespace Tarvino
