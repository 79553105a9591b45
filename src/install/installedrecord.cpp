#include "installedrecord.h"

#include "fileops.h"

#include <QFile>

namespace Tarvino::InstalledRecord {

namespace {
constexpr char Title[] = "Tarvino installed programs 1";
// A few lines; anything larger is not a record of ours.
constexpr qint64 MaxRecordSize = 4096;
} // namespace

QString path(const QString &appDir, const QString &executableName)
{
    return appDir + u'.' + executableName + QStringLiteral(".installed");
}

QByteArray fingerprint(const QString &file)
{
    return FileOps::sha256Of(file);
}

namespace {

// The record's lines, or none when there is no record of ours.
QList<QByteArray> recordLines(const QString &appDir, const QString &executableName)
{
    QFile file;
    if (FileOps::openPlainFile(file, path(appDir, executableName), QIODevice::ReadOnly) != 0)
        return {};
    QList<QByteArray> lines = file.read(MaxRecordSize).split('\n');
    if (lines.constFirst() != Title)
        return {};
    lines.removeFirst();
    lines.removeAll(QByteArray());
    return lines;
}

} // namespace

QString identityOf(const QString &appDir, const QString &executableName, const QByteArray &fingerprint)
{
    const QList<QByteArray> lines = recordLines(appDir, executableName);
    const QByteArray program = fingerprint.toHex();
    for (const QByteArray &line : lines) {
        if (!program.isEmpty() && line.startsWith(program + ' '))
            return QString::fromUtf8(line.mid(program.size() + 1));
    }
    return {};
}

int write(const QString &appDir, const QString &executableName, const QList<QPair<QByteArray, QString>> &programs)
{
    QByteArray text = QByteArray(Title) + '\n';
    for (const auto &[print, identity] : programs) {
        if (!print.isEmpty() && !identity.contains(u'\n'))
            text += print.toHex() + ' ' + identity.toUtf8() + '\n';
    }
    return FileOps::writeFileInOneStep(path(appDir, executableName), text);
}

} // namespace Tarvino::InstalledRecord
