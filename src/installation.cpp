#include "installation.h"

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
#  include <cerrno>
#  include <fcntl.h>
#  include <unistd.h>
#endif

namespace Tarvino {

namespace {

FileStepHook &stepHook()
{
    static FileStepHook hook;
    return hook;
}

int injected(const char *step, const QString &path)
{
    return stepHook() ? stepHook()(step, path) : 0;
}

QString uniqueSuffix()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
}

QString oldPrefix(const QString &executableName)
{
    return u'.' + executableName + QStringLiteral(".old-");
}

QString journalPath(const QString &appDir, const QString &executableName)
{
    return appDir + u'.' + executableName + QStringLiteral(".journal");
}

QString nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// The operating system's error code (errno, or GetLastError() on Windows) in words.
QString describe(int error)
{
#if defined(Q_OS_WIN)
    const bool diskFull = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
#else
    const bool diskFull = error == ENOSPC || error == EDQUOT;
#endif
    if (diskFull)
        return QCoreApplication::translate("Tarvino::Installation", "The disk is full.");
    return qt_error_string(error);
}

int lastError()
{
#if defined(Q_OS_WIN)
    return int(GetLastError());
#else
    return errno;
#endif
}

// The file-system steps, straight to the operating system: unlike QFile::rename,
// a rename that cannot be done is never turned into a copy over the target.
// Each returns 0 or the error code.

#if defined(Q_OS_WIN)
std::wstring wide(const QString &path)
{
    return nativePath(path).toStdWString();
}
#endif

int renameOver(const QString &from, const QString &to)
{
    if (const int error = injected("rename", to))
        return error;
#if defined(Q_OS_WIN)
    return MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
        ? 0
        : lastError();
#else
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0 ? 0 : errno;
#endif
}

int linkFile(const QString &existing, const QString &newName)
{
    if (const int error = injected("link", newName))
        return error;
#if defined(Q_OS_WIN)
    return CreateHardLinkW(wide(newName).c_str(), wide(existing).c_str(), nullptr) ? 0 : lastError();
#else
    return ::link(QFile::encodeName(existing).constData(), QFile::encodeName(newName).constData()) == 0
        ? 0
        : errno;
#endif
}

int removeFile(const QString &path)
{
    if (const int error = injected("unlink", path))
        return error;
#if defined(Q_OS_WIN)
    return DeleteFileW(wide(path).c_str()) ? 0 : lastError();
#else
    return ::unlink(QFile::encodeName(path).constData()) == 0 ? 0 : errno;
#endif
}

// Makes the folder's entries durable. On Windows the moves write through already.
int syncFolder(const QString &dir)
{
    if (const int error = injected("fsync-dir", dir))
        return error;
#if defined(Q_OS_WIN)
    return 0;
#else
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int result = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return result;
#endif
}

// A leading dot hides a file on POSIX systems only; Windows has an attribute for it.
void hide(const QString &path)
{
#if defined(Q_OS_WIN)
    const std::wstring name = wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesW(name.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN);
#else
    Q_UNUSED(path);
#endif
}

int syncToDisk(QFile &file)
{
    if (const int error = injected("fsync", file.fileName()))
        return error;
#if defined(Q_OS_WIN)
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()))) ? 0 : lastError();
#else
    return ::fsync(file.handle()) == 0 ? 0 : errno;
#endif
}

bool exists(const QString &path)
{
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

// What an update in progress records before its first change to the folder:
// enough for the next start to undo it without guessing.
struct Journal
{
    QString staged;    // the new build, until it is renamed over the program
    QString kept;      // the second name of the old bytes
    QString displaced; // Windows only: where a running old program was moved aside

    QByteArray toText() const
    {
        return "Tarvino update journal 1\nstaged " + staged.toUtf8() + "\nkept " + kept.toUtf8()
            + "\ndisplaced " + displaced.toUtf8() + '\n';
    }

    static bool isOurs(const QString &name, const QString &executableName)
    {
        return !name.isEmpty() && !name.contains(u'/') && !name.contains(u'\\') && name != u"."
            && name != u".." && name != executableName;
    }

    bool parse(const QByteArray &text, const QString &executableName)
    {
        const QList<QByteArray> lines = text.split('\n');
        if (lines.size() != 5 || lines[0] != "Tarvino update journal 1" || !lines[4].isEmpty())
            return false;
        const auto field = [&lines](int i, const char *key) {
            const QByteArray prefix = QByteArray(key) + ' ';
            return lines[i].startsWith(prefix) ? QString::fromUtf8(lines[i].mid(prefix.size())) : QString();
        };
        staged = field(1, "staged");
        kept = field(2, "kept");
        displaced = field(3, "displaced");
        return isOurs(staged, executableName) && isOurs(kept, executableName)
            && isOurs(displaced, executableName);
    }
};

// Written beside its place, flushed, then renamed into it: the journal is
// either absent or complete.
int writeJournal(const QString &path, const Journal &journal)
{
    const QString fresh = path + QStringLiteral(".new");
    QFile file(fresh);
    if (const int error = injected("open", fresh))
        return error;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return lastError();
    hide(fresh);
    const QByteArray text = journal.toText();
    int error = injected("write", fresh);
    if (!error && file.write(text) != text.size())
        error = lastError() ? lastError() : EIO;
    if (!error)
        error = syncToDisk(file);
    file.close();
    if (!error)
        error = renameOver(fresh, path);
    if (error) {
        QFile::remove(fresh);
        return error;
    }
    return syncFolder(QFileInfo(path).absolutePath());
}

} // namespace

void setFileStepHook(FileStepHook hook)
{
    stepHook() = std::move(hook);
}

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

bool recoverInterruptedUpdate(const QString &appDir, const QString &executableName)
{
    const QString executable = appDir + executableName;
    const QString journal = journalPath(appDir, executableName);
    bool changed = false;
    const auto remove = [&](const QString &path) {
        if (exists(path)) {
            removeFile(path);
            changed = true;
        }
    };

    // A journal that never took its name: no step of that update had begun.
    remove(journal + QStringLiteral(".new"));

    if (exists(journal)) {
        QFile file(journal);
        Journal record;
        if (!file.open(QIODevice::ReadOnly) || !record.parse(file.read(4096), executableName))
            return false; // not ours to judge: leave everything as it is
        file.close();
        const QString staged = appDir + record.staged;
        const QString kept = appDir + record.kept;
        const QString displaced = appDir + record.displaced;
        // Never committed: the old program goes back under its name. Where that
        // cannot be done now (on Windows, while the new one runs), the journal
        // stays for a later start.
        if (!exists(executable) && exists(displaced) && renameOver(displaced, executable) != 0)
            return false;
        if (exists(staged) && exists(executable)) {
            // The new build never took the name; the old bytes are still there.
            remove(kept);
            remove(staged);
        } else if (exists(kept) && renameOver(kept, executable) != 0) {
            return false;
        }
        remove(displaced);
        syncFolder(appDir);
        remove(journal);
    }

    const QDir dir(appDir);
    const QDir::Filters files = QDir::Files | QDir::Hidden | QDir::System;
    const QStringList setAside = dir.entryList({oldPrefix(executableName) + u'*'}, files, QDir::Time);
    // Left by a run that kept no journal: the set-aside program is the only one.
    if (!setAside.isEmpty() && !exists(executable)) {
        renameOver(dir.filePath(setAside.constFirst()), executable);
        changed = true;
    }
    const QStringList leftovers =
        dir.entryList({StagingFile::prefix(executableName) + u'*', oldPrefix(executableName) + u'*'}, files);
    for (const QString &name : leftovers)
        remove(dir.filePath(name));
    if (changed)
        syncFolder(appDir);
    return true;
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
    m_hadOld = exists(executablePath());
    const QString exe = nativePath(executablePath());
    if (!m_hadOld) {
        if (const int error = renameOver(stagedPath, executablePath()))
            return fail(tr("Cannot put the new build in place as %1: %2").arg(exe, describe(error)));
        syncFolder(m_appDir);
        return true;
    }

    m_keptIsTemporary = exists(m_appDir + backupName);
    m_keptPath = m_keptIsTemporary ? m_appDir + oldPrefix(m_executableName) + uniqueSuffix()
                                   : m_appDir + backupName;
    Journal journal;
    journal.staged = QFileInfo(stagedPath).fileName();
    journal.kept = QFileInfo(m_keptPath).fileName();
    journal.displaced = oldPrefix(m_executableName) + uniqueSuffix();
    const QString journalFile = journalPath(m_appDir, m_executableName);
    if (const int error = writeJournal(journalFile, journal)) {
        removeFile(journalFile);
        return fail(tr("Cannot record the update in %1: %2").arg(nativePath(journalFile), describe(error)));
    }
    // Before the new build takes the name, undoing is forgetting the second name.
    // Should that fail, the journal stays, and the next start finishes the undo.
    const auto undo = [&] {
        if (removeFile(m_keptPath) != 0 && exists(m_keptPath))
            return;
        syncFolder(m_appDir);
        removeFile(journalFile);
        syncFolder(m_appDir);
    };

    int error = linkFile(executablePath(), m_keptPath);
    if (!error)
        error = syncFolder(m_appDir);
    if (error) {
        undo();
        return fail(tr("Cannot keep the old program as %1: %2").arg(nativePath(m_keptPath), describe(error)));
    }

    error = renameOver(stagedPath, executablePath());
#if defined(Q_OS_WIN)
    // A running program cannot be replaced, but it can be moved aside.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        const QString displaced = m_appDir + journal.displaced;
        error = renameOver(executablePath(), displaced);
        if (!error) {
            error = renameOver(stagedPath, executablePath());
            if (error)
                renameOver(displaced, executablePath());
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
    int error = renameOver(m_keptPath, executablePath());
    if (!error)
        error = syncFolder(m_appDir);
    if (error) {
        return fail(tr("Cannot put the previous version back from %1: %2")
                        .arg(nativePath(m_keptPath), describe(error)));
    }
    // Rolled back: the journal has nothing left to say.
    recoverInterruptedUpdate(m_appDir, m_executableName);
    return true;
}

bool Installation::commit()
{
    if (!m_hadOld)
        return true;
    const QString journalFile = journalPath(m_appDir, m_executableName);
    if (const int error = removeFile(journalFile))
        return fail(tr("Cannot record the end of the update in %1: %2").arg(nativePath(journalFile), describe(error)));
    // Should this not reach the disk, a power cut brings the journal back, and
    // the next start puts the old program back: still a whole program.
    syncFolder(m_appDir);
    // Committed: whatever is set aside now is the old program, no longer needed.
    recoverInterruptedUpdate(m_appDir, m_executableName);
    return true;
}

} // namespace Tarvino
