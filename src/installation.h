#pragma once

#include <QCoreApplication>
#include <QFile>
#include <QString>

// Installing a downloaded build in the application directory so that, whatever
// fails, the executable's name always ends up holding either the old bytes or
// the complete new ones.
namespace Tarvino {

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

// Removes staging and set-aside files that an interrupted earlier run left behind.
void removeLeftovers(const QString &appDir, const QString &executableName);

// The swap of the installed executable for a staged one, and its undoing.
class Installation
{
    Q_DECLARE_TR_FUNCTIONS(Tarvino::Installation)

public:
    Installation(const QString &appDir, const QString &executableName);

    // Moves the installed executable to backupName and the staged file to the
    // executable's name. When backupName is taken, the earlier backup is kept
    // as it is and the old executable waits under a temporary name until
    // commit(). On failure everything is as it was and false is returned.
    bool install(const QString &stagedPath, const QString &backupName);

    // Puts the old executable back under its name; the new one is removed.
    bool rollback();

    // The new executable stays: drops the old one when it has no backup name.
    void commit();

    QString errorString() const { return m_error; }

private:
    QString executablePath() const { return m_appDir + m_executableName; }
    bool fail(const QString &error);

    QString m_appDir;
    QString m_executableName;
    QString m_oldPath;       // where the old executable is while the new one is tried
    bool m_oldIsTemporary = false;
    bool m_hadOld = false;
    QString m_error;
};

} // namespace Tarvino
