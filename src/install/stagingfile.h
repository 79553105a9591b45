#pragma once

#include "fileops.h"

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

// What a download left for a later run, beside its partial file in
// "<partial>.resume": the build it belongs to and how far it came.
struct PartialRecord
{
    QString entry;        // the build's name, as the publisher signed it
    QString url;
    QByteArray validator; // the server's strong ETag or Last-Modified
    qint64 total = -1;
    qint64 have = 0;      // bytes known to be on the disk, after a flush

    static QString pathFor(const QString &partial) { return partial + QStringLiteral(".resume"); }
    QByteArray toText() const;
    // False when the text is not exactly a record.
    bool parse(const QByteArray &text);
    // The record beside a partial, when it is whole and the partial holds what it vouches for.
    static bool read(const QString &partial, PartialRecord *record);
};

// The file a download streams into, on the drive it is installed on (so the
// final move is a rename, not a copy). It is removed again unless it was
// installed or kept for a later run.
class StagingFile
{
    Q_DECLARE_TR_FUNCTIONS(Tarvino::StagingFile)

public:
    // A fresh, uniquely named hidden file beside the program.
    StagingFile(const QString &appDir, const QString &executableName);
    // The file at this name and no other (one of a release's, in its staging folder).
    explicit StagingFile(const QString &path);
    ~StagingFile();
    StagingFile(const StagingFile &) = delete;
    StagingFile &operator=(const StagingFile &) = delete;

    bool open();
    // Opens instead the partial file an earlier run left for this url and
    // entry, cut to the bytes its record vouches for; false when there is none.
    bool openPartial(const QString &url, const QString &entry, PartialRecord *record);
    // Empties the file, for a download begun anew; false when it cannot be.
    bool restart();
    // Flushes what was written and records it beside the file: a later run
    // can continue it. 0 or the error code.
    int record(const PartialRecord &record);
    // The same, and the file then stays for a later run.
    int keepForLater(const PartialRecord &record);
    // After the check at start: removes every partial (and its record) that is
    // not for url, the build on offer (none: empty), or a smaller form of it
    // (a record whose entry is the build's, entry, and a space and its form).
    static void discardUnclaimed(const QString &appDir, const QString &executableName, const QString &url,
                                 const QString &entry = {});
    QIODevice *device() { return &m_file; }
    QFile &file() { return m_file; }
    // Closes and removes what was written, so that open() begins it anew.
    void discard();
    QString path() const { return m_file.fileName(); }
    QString errorString() const { return m_error; }

    // Flushes the file to the disk (or leaves that to a later flush of many
    // files), closes it and checks that it holds exactly expectedSize bytes;
    // then adds owner-execute permission. False on any failure.
    bool complete(qint64 expectedSize, FileOps::Flush flush = FileOps::Flush::Now);

    // The file now lives on under another name; do not remove it.
    void release() { m_released = true; }

    static QString prefix(const QString &executableName);

private:
    WriteBehindFile m_file;
    QString m_error;
    bool m_released = false;
    bool m_kept = false;
    bool m_named = false; // at the name it was given
};

} // namespace Tarvino
