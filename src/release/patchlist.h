#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>

namespace Tarvino {

class Manifest;

// A smaller form of one file of a manifest: its zstd-compressed copy, or a
// patch from an earlier version of it (zstd with that old file as the dictionary).
struct PackedFile
{
    enum class Kind { Compressed, Patch };
    Kind kind = Kind::Compressed;
    QString path;      // the manifest's file it gives
    QByteArray base;   // a patch's: the SHA-256 of the file it applies to
    qint64 size = 0;
    QByteArray sha256;

    // Where it lies, relative to the folder the manifest's files are fetched from.
    QString relativeUrl() const;
    // What tells it from the file itself and from the other forms, in a download's record.
    QString tag() const;
};

// The smaller forms a release's files (or a single build) are published in,
// in a text beside the manifest that only updaters which know it fetch:
//   Tarvino release patches 1
//   release: Tarvino-6.10.1-20260115
//   zst <SHA-256> <size> <path>
//   patch <SHA-256 of the old file> <SHA-256> <size> <path>
// Each names a file of the manifest and is smaller than it; a list that
// breaks any rule is refused whole, and the files are then fetched as they are.
class PatchList
{
    Q_DECLARE_TR_FUNCTIONS(Tarvino::PatchList)

public:
    static constexpr qint64 MaxTextSize = 16 * 1024 * 1024;
    static constexpr int MaxPatchesPerFile = 8;

    bool parse(const QByteArray &text, const Manifest &manifest);
    QString errorString() const { return m_error; }
    bool isEmpty() const { return m_packed.isEmpty(); }

    // The forms to try for a file, best first: the patch from what the folder
    // holds at its path (held: its SHA-256; empty when it holds nothing), then
    // the compressed copy. The file itself comes after them.
    QList<PackedFile> waysFor(const QString &path, const QByteArray &held) const;

private:
    bool fail(const QString &error);

    QList<PackedFile> m_packed;
    QString m_error;
};

} // namespace Tarvino
