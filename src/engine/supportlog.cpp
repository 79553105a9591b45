#include "supportlog.h"

#include "fileops.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QUuid>

namespace Tarvino::SupportLog {

namespace {

QMutex mutex;
QString logPath;
QtMessageHandler previousHandler = nullptr;

// One record stays readable and small, whatever a server or a command line put in it.
QByteArray recordText(const QString &text)
{
    constexpr qsizetype MaxRecordLength = 4096;
    const QStringView kept = QStringView(text).left(MaxRecordLength);
    QString line;
    line.reserve(kept.size());
    for (const QChar c : kept) {
        if (c == u'\n')
            line += QStringLiteral(" | "); // one record, one line: the window's texts span several
        else if (c.category() == QChar::Other_Control)
            line += QStringLiteral("\\x%1").arg(uint(c.unicode()), 2, 16, QLatin1Char('0'));
        else
            line += c;
    }
    if (text.size() > kept.size())
        line += QStringLiteral("… (%1 more characters)").arg(text.size() - kept.size());
    return line.toUtf8();
}

void append(const QString &text)
{
    const QByteArray line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + " ["
        + QByteArray::number(QCoreApplication::applicationPid()) + "] " + recordText(text) + '\n';
    const QMutexLocker locker(&mutex);
    if (logPath.isEmpty())
        return;
    // Never through a link: an updater run by an administrator would write wherever it pointed.
    QFile file;
    if (FileOps::openPlainFile(file, logPath, QIODevice::WriteOnly | QIODevice::Append) == 0)
        file.write(line);
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (previousHandler)
        previousHandler(type, context, message);
    append(message);
}

} // namespace

void start(const QString &path)
{
    {
        const QMutexLocker locker(&mutex);
        logPath = path;
    }
    const QtMessageHandler previous = qInstallMessageHandler(handler);
    if (previous != handler)
        previousHandler = previous;
}

void stop()
{
    const QMutexLocker locker(&mutex);
    logPath.clear();
}

void write(const QString &text)
{
    append(text);
}

bool trim(const QString &path, qint64 maxSize, qint64 keptSize)
{
    QFile file;
    if (FileOps::openPlainFile(file, path, QIODevice::ReadOnly) != 0 || file.size() <= maxSize)
        return true;
    file.seek(file.size() - keptSize);
    QByteArray tail = file.readAll();
    tail.remove(0, tail.indexOf('\n') + 1);
    file.close();
    // Replaced in one step, by a rename that replaces the name itself: a crash
    // leaves the old log or the new one.
    QFile shorter(path + QStringLiteral(".new-") + QUuid::createUuid().toString(QUuid::WithoutBraces).left(8));
    const bool written = shorter.open(QIODevice::WriteOnly | QIODevice::NewOnly) && shorter.write(tail) == tail.size()
        && FileOps::syncToDisk(shorter) == 0;
    shorter.close();
    if (!written || FileOps::renameOver(shorter.fileName(), path) != 0) {
        FileOps::removeFile(shorter.fileName());
        return false;
    }
    return true;
}

} // namespace Tarvino::SupportLog
