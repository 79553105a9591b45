#include "fileops.h"

#include "sha256.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>

#if defined(Q_OS_WIN)
#  include <fcntl.h>
#  include <io.h>
#  include <windows.h>
#else
#  include <fcntl.h>
#  include <sys/stat.h>
#  include <unistd.h>
#endif

#include <cerrno>
#include <memory>

namespace Tarvino {

namespace {

FileStepHook &stepHook()
{
    static FileStepHook hook;
    return hook;
}

#if defined(Q_OS_WIN)
std::wstring wide(const QString &path)
{
    return FileOps::nativePath(path).toStdWString();
}

bool isBriefLock(int error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}
#else
QByteArray local(const QString &path)
{
    return QFile::encodeName(path);
}

bool isBriefLock(int)
{
    return false;
}
#endif

// Pauses of 50 ms, doubling, about 6 s in all: longer than a scanner's look at
// a file, short enough that a file held for good is reported while the user waits.
template <typename Step>
int retryingBriefLocks(Step step)
{
    int error = step();
    for (int pause = 50; isBriefLock(error) && pause <= 3200; pause *= 2) {
        QThread::msleep(pause);
        error = step();
    }
    return error;
}

} // namespace

void setFileStepHook(FileStepHook hook)
{
    stepHook() = std::move(hook);
}

namespace FileOps {

int injected(const char *step, const QString &path)
{
    return stepHook() ? stepHook()(step, path) : 0;
}

QString nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

QString describe(int error)
{
#if defined(Q_OS_WIN)
    const bool diskFull = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
#else
    const bool diskFull = error == ENOSPC || error == EDQUOT;
#endif
    if (diskFull)
        return QCoreApplication::translate("Tarvino::Swap", "The disk is full.");
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

int renameOverOnce(const QString &from, const QString &to)
{
    if (const int error = injected("rename", to))
        return error;
#if defined(Q_OS_WIN)
    return MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
        ? 0
        : lastError();
#else
    return ::rename(local(from).constData(), local(to).constData()) == 0 ? 0 : errno;
#endif
}

int renameOver(const QString &from, const QString &to)
{
    return retryingBriefLocks([&] { return renameOverOnce(from, to); });
}

int linkFile(const QString &existing, const QString &newName)
{
    return retryingBriefLocks([&] {
        if (const int error = injected("link", newName))
            return error;
#if defined(Q_OS_WIN)
        return CreateHardLinkW(wide(newName).c_str(), wide(existing).c_str(), nullptr) ? 0 : lastError();
#else
        return ::link(local(existing).constData(), local(newName).constData()) == 0 ? 0 : errno;
#endif
    });
}

bool linksUnsupported(int error)
{
#if defined(Q_OS_WIN)
    // FAT and exFAT answer ERROR_INVALID_FUNCTION; Wine passes on Linux's EPERM as access denied.
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED || error == ERROR_ACCESS_DENIED
        || error == ERROR_TOO_MANY_LINKS;
#else
    // Linux's FAT and exFAT drivers answer EPERM.
    return error == EPERM || error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS || error == EMLINK;
#endif
}

bool takesHardLinks(const QString &probePath)
{
    const QString second = probePath + QStringLiteral(".link");
    QFile probe(probePath);
    if (!probe.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return true; // unknown: the copy, if one is needed, says so itself
    probe.close();
#if defined(Q_OS_WIN)
    const bool linked = CreateHardLinkW(wide(second).c_str(), wide(probePath).c_str(), nullptr);
    const int error = linked ? 0 : lastError();
    DeleteFileW(wide(second).c_str());
    DeleteFileW(wide(probePath).c_str());
#else
    const bool linked = ::link(local(probePath).constData(), local(second).constData()) == 0;
    const int error = linked ? 0 : errno;
    ::unlink(local(second).constData());
    ::unlink(local(probePath).constData());
#endif
    return linked || !linksUnsupported(error);
}

int removeFile(const QString &path)
{
    return retryingBriefLocks([&] {
        if (const int error = injected("unlink", path))
            return error;
#if defined(Q_OS_WIN)
        return DeleteFileW(wide(path).c_str()) ? 0 : lastError();
#else
        return ::unlink(local(path).constData()) == 0 ? 0 : errno;
#endif
    });
}

int copyFile(const QString &existing, const QString &newName)
{
    if (const int error = injected("open", newName))
        return error;
#if defined(Q_OS_WIN)
    if (const int error = injected("write", newName))
        return error;
    if (!CopyFileW(wide(existing).c_str(), wide(newName).c_str(), TRUE))
        return lastError();
    int error = injected("fsync", newName);
    if (!error) {
        const HANDLE handle = CreateFileW(wide(newName).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            error = lastError();
        } else {
            if (!FlushFileBuffers(handle))
                error = lastError();
            CloseHandle(handle);
        }
    }
#else
    const int in = ::open(local(existing).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return errno;
    const int out = ::open(local(newName).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return error;
    }
    int error = 0;
    const std::unique_ptr<char[]> buffer(new char[1 << 20]);
    for (;;) {
        const ssize_t n = ::read(in, buffer.get(), 1 << 20);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        if ((error = injected("write", newName)))
            break;
        for (ssize_t written = 0; written < n && !error;) {
            const ssize_t w = ::write(out, buffer.get() + written, size_t(n - written));
            if (w > 0)
                written += w;
            else if (w == 0 || errno != EINTR)
                error = w < 0 ? errno : ENOSPC;
        }
        if (error)
            break;
    }
    struct stat status;
    if (!error && ::fstat(in, &status) != 0)
        error = errno;
    if (!error && ::fchmod(out, status.st_mode & 07777) != 0)
        error = errno;
    if (!error && !(error = injected("fsync", newName)) && ::fsync(out) != 0)
        error = errno;
    ::close(in);
    if (::close(out) != 0 && !error)
        error = errno;
#endif
    // A full disk may only show when the data reaches the disk: the size is read back.
    if (!error && QFileInfo(newName).size() != QFileInfo(existing).size()) {
#if defined(Q_OS_WIN)
        error = ERROR_HANDLE_DISK_FULL;
#else
        error = ENOSPC;
#endif
    }
    if (error)
        removeFile(newName);
    return error;
}

int writeFileInOneStep(const QString &path, const QByteArray &bytes, Flush flush)
{
    const QString fresh = path + QStringLiteral(".new");
    // Whatever stands at the name (a link, a file left by a run that died) goes,
    // the name only; the file is then made anew, never opened through a link.
    if (exists(fresh)) {
        if (const int error = removeFile(fresh))
            return error;
    }
    QFile file(fresh);
    if (const int error = injected("open", fresh))
        return error;
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return lastError() ? lastError() : EEXIST;
    hide(fresh);
    int error = injected("write", fresh);
    if (!error && file.write(bytes) != bytes.size())
        error = lastError() ? lastError() : EIO;
    if (!error && flush == Flush::Now)
        error = syncToDisk(file);
    file.close();
    if (!error)
        error = renameOver(fresh, path);
    if (error) {
        removeFile(fresh);
        return error;
    }
    return flush == Flush::Now ? syncFolder(QFileInfo(path).absolutePath()) : 0;
}

int makeFolders(const QString &dir)
{
    if (QFileInfo(dir).isDir())
        return 0;
    if (const int error = injected("mkdir", dir))
        return error;
    return QDir().mkpath(dir) ? 0 : lastError() ? lastError() : EIO;
}

int syncFolders(const QStringList &dirs)
{
    QSet<QString> done;
    for (const QString &dir : dirs) {
        if (done.contains(dir) || !QFileInfo(dir).isDir())
            continue;
        done.insert(dir);
        if (const int error = syncFolder(dir))
            return error;
    }
    return 0;
}

#if !defined(Q_OS_WIN)
// Runs call on the path's descriptor, opened with these flags and closed again: 0 or the error code.
static int onDescriptor(const QString &path, int flags, int (*call)(int))
{
    const int fd = ::open(local(path).constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int result = call(fd) == 0 ? 0 : errno;
    ::close(fd);
    return result;
}
#endif

int syncFolder(const QString &dir)
{
    if (const int error = injected("fsync-dir", dir))
        return error;
#if defined(Q_OS_WIN)
    return 0;
#else
    return onDescriptor(dir, O_RDONLY | O_DIRECTORY, ::fsync);
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

int syncFiles(const QStringList &paths)
{
    if (paths.isEmpty())
        return 0;
    if (const int error = injected("fsync", paths.constFirst()))
        return error;
#if defined(Q_OS_LINUX)
    // Since Linux 5.8 it also reports a write-back error of any file on the drive.
    return onDescriptor(paths.constFirst(), O_RDONLY | O_NOFOLLOW, ::syncfs);
#else
    for (const QString &path : paths) {
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite))
            return lastError() ? lastError() : EIO;
        if (const int error = syncToDisk(file))
            return error;
    }
    return 0;
#endif
}

int copyAttributes(const QString &from, const QString &to)
{
    if (const int error = injected("attributes", to))
        return error;
#if defined(Q_OS_WIN)
    // Not read-only: the program must stay replaceable by the next update.
    constexpr DWORD Kept = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM
        | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD attributes = GetFileAttributesW(wide(from).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return lastError();
    const DWORD wanted = (attributes & Kept) ? (attributes & Kept) : FILE_ATTRIBUTE_NORMAL;
    return SetFileAttributesW(wide(to).c_str(), wanted) ? 0 : lastError();
#else
    struct stat status;
    if (::stat(local(from).constData(), &status) != 0)
        return errno;
    return ::chmod(local(to).constData(), (status.st_mode & 07777) | S_IXUSR) == 0 ? 0 : errno;
#endif
}

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

int openPlainFile(QFile &file, const QString &path, QIODevice::OpenMode mode)
{
    const bool writing = mode & QIODevice::WriteOnly;
    const bool appending = mode & QIODevice::Append;
#if defined(Q_OS_WIN)
    const DWORD access = appending ? FILE_APPEND_DATA : writing ? GENERIC_WRITE : GENERIC_READ;
    const HANDLE handle = CreateFileW(wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, writing ? OPEN_ALWAYS : OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return lastError();
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) || GetFileType(handle) != FILE_TYPE_DISK
        || (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        || info.nNumberOfLinks > 1) {
        CloseHandle(handle);
        return ERROR_CANT_ACCESS_FILE;
    }
    const int fd = _open_osfhandle(intptr_t(handle), appending ? _O_WRONLY | _O_APPEND
                                                     : writing ? _O_WRONLY : _O_RDONLY);
    if (fd < 0) {
        CloseHandle(handle);
        return ERROR_CANT_ACCESS_FILE;
    }
#else
    // Non-blocking: a FIFO at the name would otherwise hold the open until a reader comes.
    int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    flags |= writing ? O_WRONLY | O_CREAT | (appending ? O_APPEND : 0) : O_RDONLY;
    const int fd = ::open(local(path).constData(), flags, 0644);
    if (fd < 0)
        return errno;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink > 1) {
        ::close(fd);
        return EINVAL;
    }
#endif
    if (!file.open(fd, mode | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
#if defined(Q_OS_WIN)
        _close(fd);
        return ERROR_CANT_ACCESS_FILE;
#else
        ::close(fd);
        return EIO;
#endif
    }
    return 0;
}

int openOwnFile(QFile &file, QIODevice::OpenMode mode)
{
    if (!file.open(mode | QIODevice::Unbuffered))
        return lastError() ? lastError() : EIO;
    bool own = false;
#if defined(Q_OS_WIN)
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD attributes = GetFileAttributesW(wide(file.fileName()).c_str());
    own = GetFileInformationByHandle(handle, &info) && info.nNumberOfLinks == 1
        && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && attributes != INVALID_FILE_ATTRIBUTES
        && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
#else
    // The file opened must be the one at the name itself, not one a link led to.
    struct stat opened;
    struct stat named;
    own = ::fstat(file.handle(), &opened) == 0 && ::lstat(local(file.fileName()).constData(), &named) == 0
        && S_ISREG(opened.st_mode) && opened.st_nlink == 1 && opened.st_dev == named.st_dev
        && opened.st_ino == named.st_ino;
#endif
    if (own)
        return 0;
    file.close();
#if defined(Q_OS_WIN)
    return ERROR_CANT_ACCESS_FILE;
#else
    return EINVAL;
#endif
}

QByteArray fileStamp(const QString &path)
{
#if defined(Q_OS_WIN)
    const HANDLE handle = CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    const bool read = GetFileInformationByHandle(handle, &info)
        && GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic);
    CloseHandle(handle);
    if (!read)
        return {};
    const quint64 size = (quint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    const quint64 index = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return QByteArray::number(size) + '-' + QByteArray::number(basic.LastWriteTime.QuadPart) + '-'
        + QByteArray::number(basic.ChangeTime.QuadPart) + '-' + QByteArray::number(quint64(info.dwVolumeSerialNumber))
        + '-' + QByteArray::number(index);
#else
    struct stat status;
    if (::lstat(local(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return {};
    return QByteArray::number(qint64(status.st_size)) + '-' + QByteArray::number(qint64(status.st_mtim.tv_sec)) + '.'
        + QByteArray::number(qint64(status.st_mtim.tv_nsec)) + '-' + QByteArray::number(qint64(status.st_ctim.tv_sec))
        + '.' + QByteArray::number(qint64(status.st_ctim.tv_nsec)) + '-' + QByteArray::number(quint64(status.st_dev))
        + '-' + QByteArray::number(quint64(status.st_ino));
#endif
}

bool isPlainFile(const QString &path)
{
    QFile file;
    return openPlainFile(file, path, QIODevice::ReadOnly) == 0;
}

int removeTree(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || info.isJunction() || !info.isDir()) {
#if defined(Q_OS_WIN)
        // A junction or a link to a folder is a folder's entry: it goes as one, its target stays.
        if (info.isDir() && QDir().rmdir(path))
            return 0;
#endif
        return removeFile(path);
    }
    // Below a folder of its own, links are removed as names, never followed.
    return QDir(path).removeRecursively() ? 0 : EIO;
}

QByteArray sha256Of(const QString &path)
{
    QFile file(path);
    if (injected("hash", path) != 0 || !file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    Sha256 hash;
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    for (qint64 read; (read = file.read(chunk.data(), chunk.size())) != 0;) {
        if (read < 0)
            return {};
        hash.addData(chunk.constData(), read);
    }
    return hash.result();
}

bool exists(const QString &path)
{
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

} // namespace FileOps
} // namespace Tarvino
