#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

class QFile;

namespace Tarvino {

// Decodes a zstd file into a file of a known size: a compressed copy, or a
// patch made with an old version of the file as its dictionary (the base).
// The base is mapped, not read, and where the target can be mapped too the
// decoder writes into it directly: besides the two files only a buffer of the
// packed file is held, and on Linux what was written or read is handed back to
// the page cache as the decoding goes on.
class Unpack
{
    Q_DECLARE_TR_FUNCTIONS(Tarvino::Unpack)

public:
    // The largest window a frame may ask for: the base and the file together,
    // within 2 GiB; a frame that asks for more is refused before it costs memory.
    static int windowLogFor(qint64 baseSize, qint64 size);

    // Decodes packed (with base, when it is a patch) into target, an open,
    // readable and writable file, which ends up exactly size bytes long.
    bool run(const QString &packed, const QString &base, QFile &target, qint64 size);
    QByteArray sha256() const { return m_sha256; }
    QString errorString() const { return m_error; }

private:
    bool fail(const QString &error);
    bool takeRoom(QFile &target, qint64 size, bool *mappable);

    QByteArray m_sha256;
    QString m_error;
};

} // namespace Tarvino
