#include "manifest.h"

#include "identity.h"

#include <QSet>

#include <algorithm>

namespace Tarvino {

namespace {

constexpr char Title[] = "Tarvino release manifest 1";

bool isReservedOnWindows(const QString &segment)
{
    // The device names, whatever follows them after a dot.
    const QString stem = segment.section(u'.', 0, 0).toUpper();
    static const QSet<QString> devices{"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    if (devices.contains(stem))
        return true;
    return stem.size() == 4 && (stem.startsWith(QLatin1String("COM")) || stem.startsWith(QLatin1String("LPT")))
        && stem.at(3) >= u'0' && stem.at(3) <= u'9';
}

} // namespace

QString Manifest::pathProblem(const QString &path)
{
    if (path.isEmpty())
        return tr("an empty path");
    if (path.startsWith(u'/'))
        return tr("an absolute path");
    for (const QChar c : path) {
        if (c == u'\\')
            return tr("a backslash; paths use \"/\"");
        if (c == u':')
            return tr("a colon (a drive or an alternate data stream)");
        if (c.category() == QChar::Other_Control)
            return tr("a control character");
        if (QStringView(u"<>\"|?*").contains(c))
            return tr("a character that Windows does not allow in a name (%1)").arg(c);
    }
    if (path.size() > MaxPathLength)
        return tr("a path longer than %1 characters, more than Windows holds from a user's folder").arg(MaxPathLength);
    for (const QString &segment : path.split(u'/')) {
        if (segment.isEmpty())
            return tr("an empty folder name");
        if (segment == u"." || segment == u"..")
            return tr("a \".\" or \"..\" step");
        if (segment.endsWith(u'.') || segment.endsWith(u' '))
            return tr("a name ending in a dot or a space");
        if (isReservedOnWindows(segment))
            return tr("a name that Windows reserves for a device");
        if (segment.size() > MaxFileNameLength)
            return tr("a name longer than %1 characters").arg(MaxFileNameLength);
    }
    return {};
}

bool Manifest::fail(const QString &error)
{
    m_error = tr("The release's manifest is refused: %1").arg(error);
    m_files.clear();
    m_release.clear();
    return false;
}

bool Manifest::parse(const QByteArray &text)
{
    m_files.clear();
    m_release.clear();
    m_error.clear();
    if (text.size() > MaxTextSize)
        return fail(tr("it is larger than %1 bytes.").arg(MaxTextSize));
    QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 3 || !lines.constLast().isEmpty())
        return fail(tr("it is not a manifest."));
    lines.removeLast();
    if (lines.at(0) != Title || !lines.at(1).startsWith("release: "))
        return fail(tr("it is not a manifest."));
    const QString release = QString::fromUtf8(lines.at(1).mid(9));
    if (identityProblem(release) != IdentityProblem::None)
        return fail(tr("its release name \"%1\" is not a plain name.").arg(shortened(release)));
    if (lines.size() - 2 > MaxFiles)
        return fail(tr("it names more than %1 files.").arg(MaxFiles));

    QSet<QString> folded;
    QSet<QString> folders;
    qint64 total = 0;
    QList<ManifestFile> files;
    for (qsizetype i = 2; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const QList<QByteArray> fields = line.split(' ');
        bool sizeOk = false;
        const qint64 size = fields.size() >= 4 ? fields.at(1).toLongLong(&sizeOk) : -1;
        const QByteArray sha = fields.size() >= 4 ? QByteArray::fromHex(fields.at(0)) : QByteArray();
        if (fields.size() < 4 || fields.at(0).size() != 64 || sha.size() != 32 || sha.toHex() != fields.at(0).toLower()
            || !sizeOk || size < 0 || (fields.at(2) != "x" && fields.at(2) != "-")) {
            return fail(tr("line %1 is not a file's line.").arg(i + 1));
        }
        ManifestFile file;
        file.path = QString::fromUtf8(line.mid(fields.at(0).size() + fields.at(1).size() + fields.at(2).size() + 3));
        file.size = size;
        file.sha256 = sha;
        file.program = fields.at(2) == "x";
        const QString shown = shortened(file.path);
        if (const QString problem = pathProblem(file.path); !problem.isEmpty())
            return fail(tr("%1 has %2.").arg(shown.isEmpty() ? tr("line %1").arg(i + 1) : shown, problem));
        const QString first = file.path.section(u'/', 0, 0);
        const bool reserved = std::any_of(m_reserved.cbegin(), m_reserved.cend(), [&first](const QString &name) {
            return first.compare(name, Qt::CaseInsensitive) == 0;
        });
        if (reserved || (!m_hiddenPrefix.isEmpty() && first.startsWith(m_hiddenPrefix, Qt::CaseInsensitive)))
            return fail(tr("%1 is a name the updater keeps for itself.").arg(shown));
        const QString key = file.path.toCaseFolded();
        if (folded.contains(key) || folders.contains(key))
            return fail(tr("%1 is named twice, when case is ignored, or is both a file and a folder.").arg(shown));
        folded.insert(key);
        for (qsizetype slash = key.indexOf(u'/'); slash >= 0; slash = key.indexOf(u'/', slash + 1)) {
            if (folded.contains(key.left(slash)))
                return fail(tr("%1 is both a file and a folder.").arg(shortened(file.path.left(slash))));
            folders.insert(key.left(slash));
        }
        total += size;
        if (total > MaxTotalSize)
            return fail(tr("its files come to more than %1 bytes.").arg(MaxTotalSize));
        files.append(file);
    }
    m_release = release;
    m_files = files;
    return true;
}

const ManifestFile *Manifest::find(const QString &path) const
{
    for (const ManifestFile &file : m_files) {
        if (file.path.compare(path, Qt::CaseInsensitive) == 0)
            return &file;
    }
    return nullptr;
}

qint64 Manifest::totalSize() const
{
    qint64 total = 0;
    for (const ManifestFile &file : m_files)
        total += file.size;
    return total;
}

} // namespace Tarvino
