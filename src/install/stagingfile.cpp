#include "stagingfile.h"

#include "fileops.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
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
    // One step for the file's bytes, at its first write: however the network
    // splits them, the later writes leave the folder as the first left it.
    if (const int error = m_written == 0 ? injected("write", fileName()) : 0) {
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
    constexpr qint64 Step = 4 * 1024 * 1024;
    if (m_written - m_handedOver >= Step) {
        // Starts the write-back of this range and returns at once.
        ::sync_file_range(handle(), m_handedOver, m_written - m_handedOver, SYNC_FILE_RANGE_WRITE);
        m_handedOver = m_written;
    }
#endif
    return written;
}

QByteArray PartialRecord::toText() const
{
    return "Tarvino partial download 1\nentry: " + entry.toUtf8() + "\nurl: " + url.toUtf8() + "\nvalidator: "
        + validator + "\ntotal: " + QByteArray::number(total) + "\nhave: " + QByteArray::number(have) + '\n';
}

bool PartialRecord::parse(const QByteArray &text)
{
    const QList<QByteArray> lines = text.split('\n');
    static const char *const keys[] = {"entry: ", "url: ", "validator: ", "total: ", "have: "};
    if (lines.size() != 7 || lines.at(0) != "Tarvino partial download 1" || !lines.at(6).isEmpty())
        return false;
    QByteArray values[5];
    for (int i = 0; i < 5; ++i) {
        if (!lines.at(i + 1).startsWith(keys[i]))
            return false;
        values[i] = lines.at(i + 1).mid(qstrlen(keys[i]));
    }
    bool totalOk = false;
    bool haveOk = false;
    entry = QString::fromUtf8(values[0]);
    url = QString::fromUtf8(values[1]);
    validator = values[2];
    total = values[3].toLongLong(&totalOk);
    have = values[4].toLongLong(&haveOk);
    return totalOk && haveOk && have > 0 && have < total && !validator.isEmpty() && !url.isEmpty();
}

bool PartialRecord::read(const QString &partial, PartialRecord *record)
{
    QFile file;
    if (openPlainFile(file, pathFor(partial), QIODevice::ReadOnly) != 0 || !record->parse(file.read(8192)))
        return false;
    // A rest that the drive could never hold is no download's: such a record is
    // not to be continued (nor to fail the room check), but removed.
    QStorageInfo drive(QFileInfo(partial).absolutePath());
    if (drive.isValid() && record->total - record->have > drive.bytesAvailable())
        return false;
    // The partial itself must be the updater's own too: no link, no second name.
    QFile data;
    return openPlainFile(data, partial, QIODevice::ReadOnly) == 0 && data.size() >= record->have;
}

StagingFile::StagingFile(const QString &appDir, const QString &executableName)
    : m_file(appDir + prefix(executableName) + QUuid::createUuid().toString(QUuid::WithoutBraces).left(8))
{
}

StagingFile::StagingFile(const QString &path) : m_file(path), m_named(true) {}

StagingFile::~StagingFile()
{
    // A record of how far it came belongs to a file kept for later, and to no other.
    const QString record = PartialRecord::pathFor(m_file.fileName());
    if (!m_released) {
        m_file.close();
        removeFile(m_file.fileName());
    }
    if (!m_kept && exists(record))
        removeFile(record);
}

QString StagingFile::prefix(const QString &executableName)
{
    return u'.' + executableName + QStringLiteral(".part-");
}

bool StagingFile::open()
{
    int injectedError = injected("open", m_file.fileName());
    // Whatever stands at a given name goes as a name (a link is never written
    // through), and so does a record that would vouch for the old bytes.
    for (const QString &old : {m_file.fileName(), PartialRecord::pathFor(m_file.fileName())}) {
        if (!injectedError && m_named && exists(old))
            injectedError = removeFile(old);
    }
    // Unbuffered: the chunks are large already, and a second copy would only cost time.
    // Readable too: a decoder maps it.
    if (!injectedError && m_file.open(QIODevice::ReadWrite | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        if (!m_named)
            hide(m_file.fileName());
        return true;
    }
    m_error = tr("Cannot create %1: %2")
                  .arg(nativePath(m_file.fileName()),
                       injectedError ? describe(injectedError) : m_file.errorString());
    return false;
}

bool StagingFile::openPartial(const QString &url, const QString &entry, PartialRecord *record)
{
    const QFileInfo fresh(m_file.fileName());
    const QString prefix = fresh.fileName().left(fresh.fileName().lastIndexOf(u'-') + 1);
    const QDir dir = fresh.dir();
    const QStringList names = m_named ? QStringList{fresh.fileName()}
                                      : dir.entryList({prefix + u'*'}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QString partial = dir.filePath(name);
        if (name.endsWith(QLatin1String(".resume")) || !PartialRecord::read(partial, record) || record->url != url
            || record->entry != entry) {
            continue;
        }
        m_file.setFileName(partial);
        // Opened only as a plain file of its own: a name that became a link since is never written through.
        if (injected("open", partial) == 0 && openOwnFile(m_file, QIODevice::ReadWrite) == 0
            && m_file.resize(record->have) && m_file.seek(record->have)) {
            return true;
        }
        m_file.close();
        m_file.setFileName(fresh.filePath());
    }
    return false;
}

int StagingFile::record(const PartialRecord &record)
{
    if (const int error = syncToDisk(m_file))
        return error;
    // The bytes it vouches for are on the disk: should the new record be lost,
    // the one before it vouches for fewer of them, or none is found.
    const QString path = PartialRecord::pathFor(m_file.fileName());
    return writeFileInOneStep(path, record.toText(), exists(path) ? Flush::Later : Flush::Now);
}

int StagingFile::keepForLater(const PartialRecord &partial)
{
    const int error = record(partial);
    m_released = m_kept = error == 0;
    return error;
}

void StagingFile::discardUnclaimed(const QString &appDir, const QString &executableName, const QString &url,
                                   const QString &entry)
{
    // Every entry at these names, links included: a link or a second name goes
    // as a name, and what it points to is never opened.
    const QDir dir(appDir);
    const QDir::Filters all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    for (const QString &name : dir.entryList({prefix(executableName) + u'*'}, all)) {
        const QString path = dir.filePath(name);
        if (name.endsWith(QLatin1String(".resume"))) {
            if (!isPlainFile(path) || !exists(path.chopped(7)))
                removeFile(path);
            continue;
        }
        PartialRecord record;
        if (!url.isEmpty() && PartialRecord::read(path, &record)
            && (record.url == url || (!entry.isEmpty() && record.entry.startsWith(entry + u' ')))) {
            continue;
        }
        removeFile(path);
        if (exists(path + QStringLiteral(".resume")))
            removeFile(path + QStringLiteral(".resume"));
    }
}

void StagingFile::discard()
{
    m_file.close();
    if (exists(m_file.fileName()))
        removeFile(m_file.fileName());
}

bool StagingFile::restart()
{
    if (m_file.restart())
        return true;
    m_error = tr("Cannot empty %1: %2").arg(nativePath(m_file.fileName()), m_file.errorString());
    return false;
}

bool StagingFile::complete(qint64 expectedSize, Flush flush)
{
    // A full disk may only show when the data reaches the disk, so each step is
    // checked and the size is read back from the file system.
    const int error = flush == Flush::Now ? syncToDisk(m_file) : 0;
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
