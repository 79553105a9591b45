#pragma once

#include <QCoreApplication>
#include <QFile>
#include <QString>

#include <functional>

// Installing a downloaded build in the application directory so that, at every
// instant and whatever fails or whenever the process dies, the executable's
// name holds either the complete old bytes or the complete new ones.
//
// The swap, for the program E, the staged build S and the backup name B:
//   1. a journal naming S and the name that keeps the old bytes is written and
//      flushed beside E (.E.journal);
//   2. the old bytes get a second name by a hard link: B, or, when B is taken
//      by an earlier backup, a hidden .E.old-* until the update is committed;
//   3. S is renamed over E, which replaces it in one step;
//   4. once the new program has started, the journal is removed (the commit)
//      and a hidden .E.old-* with it.
// Every change to the folder is flushed to the disk before the next step. A
// journal found at the next start means the update never committed: the old
// bytes go back under E.
namespace Tarvino {

// Test seam: called before each file-system step of an update with the step's
// name ("open", "write", "fsync", "link", "rename", "unlink", "fsync-dir") and
// the path it acts on. A non-zero return makes the step fail with that errno.
using FileStepHook = std::function<int(const char *step, const QString &path)>;
void setFileStepHook(FileStepHook hook);

// A file that hands what it was given to the disk while it is being written, so
// that the flush to the disk at its end has little left to wait for.
class WriteBehindFile : public QFile
{
public:
    using QFile::QFile;

protected:
    qint64 writeData(const char *data, qint64 size) override;

private:
    qint64 m_written = 0;
    qint64 m_handedOver = 0;
};

// The file a download streams into: a fresh, uniquely named file in the
// application directory (so the final move is a rename, not a copy). It is
// removed again unless it was installed.
class StagingFile
{
    Q_DECLARE_TR_FUNCTIONS(Tarvino::StagingFile)

public:
    StagingFile(const QString &appDir, const QString &executableName);
    ~StagingFile();
    StagingFile(const StagingFile &) = delete;
    StagingFile &operator=(const StagingFile &) = delete;

    bool open();
    QIODevice *device() { return &m_file; }
    QString path() const { return m_file.fileName(); }
    QString errorString() const { return m_error; }

    // Flushes the file to the disk, closes it and checks that it holds exactly
    // expectedSize bytes; then adds owner-execute permission. False on any failure.
    bool complete(qint64 expectedSize);

    // The file now lives on under another name; do not remove it.
    void release() { m_released = true; }

    static QString prefix(const QString &executableName);

private:
    WriteBehindFile m_file;
    QString m_error;
    bool m_released = false;
};

// At start: finishes an update an earlier run left (by putting the old program
// back when it had not committed) and removes what it left behind. A folder
// with nothing to recover is not touched. False when the update could not be
// finished now; its journal then stays for the next start.
bool recoverInterruptedUpdate(const QString &appDir, const QString &executableName);

// The swap of the installed executable for a staged one, and its undoing.
class Installation
{
    Q_DECLARE_TR_FUNCTIONS(Tarvino::Installation)

public:
    Installation(const QString &appDir, const QString &executableName);

    // Keeps the old bytes under backupName (when it is taken, the earlier backup
    // stays as it is and the old bytes wait under a hidden name until commit())
    // and puts the staged file in the executable's place. On failure everything
    // is as it was and false is returned.
    bool install(const QString &stagedPath, const QString &backupName);

    // Puts the old executable back under its name.
    bool rollback();

    // The new executable stays.
    bool commit();

    QString errorString() const { return m_error; }

private:
    QString executablePath() const { return m_appDir + m_executableName; }
    bool fail(const QString &error);

    QString m_appDir;
    QString m_executableName;
    QString m_keptPath;      // where the old bytes are kept while the new ones are tried
    bool m_keptIsTemporary = false;
    bool m_hadOld = false;
    QString m_error;
};

} // namespace Tarvino
