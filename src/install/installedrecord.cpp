#include "installedrecord.h"

#include "fileops.h"

#include <QCryptographicHash>
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
    constexpr qint64 Part = 1024 * 1024;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = in.size();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArray::number(size) + '\n');
    const QByteArray head = in.read(Part);
    hash.addData(head);
    if (size > Part && in.seek(qMax(Part, size - Part)))
        hash.addData(in.readAll());
    return head.size() == qMin(size, Part) ? hash.result() : QByteArray();
}

QString identityOfProgram(const QString &appDir, const QString &executableName)
{
    QFile file;
    if (FileOps::openPlainFile(file, path(appDir, executableName), QIODevice::ReadOnly) != 0)
        return {};
    const QList<QByteArray> lines = file.read(MaxRecordSize).split('\n');
    if (lines.constFirst() != Title)
        return {};
    const QByteArray program = fingerprint(appDir + executableName).toHex();
    for (const QByteArray &line : lines.mid(1)) {
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
