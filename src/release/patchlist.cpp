#include "patchlist.h"

#include "identity.h"
#include "manifest.h"
#include "urls.h"

#include <QHash>
#include <QSet>

namespace Tarvino {

namespace {

constexpr char Title[] = "Tarvino release patches 1";

QByteArray sha256Field(const QByteArray &field)
{
    const QByteArray sha = QByteArray::fromHex(field);
    return field.size() == 64 && sha.size() == 32 && sha.toHex() == field.toLower() ? sha : QByteArray();
}

} // namespace

QString PackedFile::relativeUrl() const
{
    if (kind == Kind::Compressed)
        return QStringLiteral("compressed/") + encodedPath(path) + QStringLiteral(".zst");
    return QStringLiteral("patches/") + QString::fromLatin1(base.toHex()) + u'/' + encodedPath(path)
        + QStringLiteral(".zst");
}

QString PackedFile::tag() const
{
    return kind == Kind::Compressed ? QStringLiteral("zst") : QStringLiteral("patch ") + QString::fromLatin1(base.toHex());
}

bool PatchList::fail(const QString &error)
{
    m_error = tr("The list of patches is refused: %1").arg(error);
    m_packed.clear();
    return false;
}

bool PatchList::parse(const QByteArray &text, const Manifest &manifest)
{
    m_packed.clear();
    m_error.clear();
    if (text.size() > MaxTextSize)
        return fail(tr("it is larger than %1 bytes.").arg(MaxTextSize));
    QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 2 || !lines.constLast().isEmpty() || lines.at(0) != Title
        || lines.at(1) != "release: " + manifest.release().toUtf8()) {
        return fail(tr("it is not a list of patches of %1.").arg(shortened(manifest.release())));
    }
    lines.removeLast();
    QSet<QString> seen;
    QHash<QString, int> patches;
    for (qsizetype i = 2; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).split(' ');
        PackedFile packed;
        packed.kind = fields.at(0) == "patch" ? PackedFile::Kind::Patch : PackedFile::Kind::Compressed;
        const int first = packed.kind == PackedFile::Kind::Patch ? 2 : 1; // the packed file's SHA-256
        bool sizeOk = false;
        if ((fields.at(0) != "zst" && fields.at(0) != "patch") || fields.size() < first + 3)
            return fail(tr("line %1 is not a line of the list.").arg(i + 1));
        if (packed.kind == PackedFile::Kind::Patch)
            packed.base = sha256Field(fields.at(1));
        packed.sha256 = sha256Field(fields.at(first));
        packed.size = fields.at(first + 1).toLongLong(&sizeOk);
        if (packed.sha256.isEmpty() || (packed.kind == PackedFile::Kind::Patch && packed.base.isEmpty()) || !sizeOk
            || packed.size <= 0) {
            return fail(tr("line %1 is not a line of the list.").arg(i + 1));
        }
        qsizetype skip = 0;
        for (int f = 0; f <= first + 1; ++f)
            skip += fields.at(f).size() + 1;
        packed.path = QString::fromUtf8(lines.at(i).mid(skip));
        const ManifestFile *file = manifest.find(packed.path);
        if (!file || file->path != packed.path)
            return fail(tr("line %1 names %2, which is no file of the release.").arg(i + 1).arg(shortened(packed.path)));
        // A form no smaller than the file costs more than the file itself.
        if (packed.size >= file->size)
            return fail(tr("line %1 is not smaller than %2 itself.").arg(i + 1).arg(shortened(packed.path)));
        const QString key = packed.path + u' ' + packed.tag();
        if (seen.contains(key))
            return fail(tr("line %1 names a form of %2 twice.").arg(i + 1).arg(shortened(packed.path)));
        seen.insert(key);
        if (packed.kind == PackedFile::Kind::Patch && ++patches[packed.path] > MaxPatchesPerFile)
            return fail(tr("%1 has more than %2 patches.").arg(shortened(packed.path)).arg(MaxPatchesPerFile));
        m_packed.append(packed);
    }
    return true;
}

QList<PackedFile> PatchList::waysFor(const QString &path, const QByteArray &held) const
{
    QList<PackedFile> ways;
    for (const PackedFile &packed : m_packed) {
        if (packed.path == path && packed.kind == PackedFile::Kind::Patch && !held.isEmpty() && packed.base == held)
            ways.prepend(packed);
        else if (packed.path == path && packed.kind == PackedFile::Kind::Compressed)
            ways.append(packed);
    }
    return ways;
}

} // namespace Tarvino
