#include "supportlog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QSaveFile>

namespace Tarvino::SupportLog {

namespace {

QMutex mutex;
QString logPath;
QtMessageHandler previousHandler = nullptr;

void append(const QString &text)
{
    QByteArray line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + " ["
        + QByteArray::number(QCoreApplication::applicationPid()) + "] " + text.toUtf8();
    // One record, one line: the window's texts span several.
    line.replace('\n', " | ");
    line += '\n';
    const QMutexLocker locker(&mutex);
    if (logPath.isEmpty())
        return;
    QFile file(logPath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
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
    QFile file(path);
    if (file.size() <= maxSize || !file.open(QIODevice::ReadOnly))
        return true;
    file.seek(file.size() - keptSize);
    QByteArray tail = file.readAll();
    tail.remove(0, tail.indexOf('\n') + 1);
    file.close();
    // Replaced in one step: a crash leaves the old log or the new one.
    QSaveFile shorter(path);
    return shorter.open(QIODevice::WriteOnly) && shorter.write(tail) == tail.size() && shorter.commit();
}

} // namespace Tarvino::SupportLog
