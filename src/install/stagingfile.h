#pragma once

#include <QCoreApplication>
#include <QFile>
#include <QString>

namespace Tarvino {

// A file that hands what it was given to the disk while it is being written, so
// that the flush to the disk at its end has little left to wait for.
class WriteBehindFile : public QFile
{
public:
    using QFile::QFile;
    bool restart()
    {
        m_written = m_handedOver = 0;
        return resize(0) && seek(0);
    }

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
    // Empties the file, for a download begun anew; false when it cannot be.
    bool restart();
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

} // namespace Tarvino
