#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

namespace Tarvino {

// Starts a program with no arguments, detached from the updater (it outlives
// it), and watches it for a while: a build that cannot run here (on Windows a
// missing DLL or a damaged file ends it at once) is told from one that runs.
// On Windows the loader's error box is suppressed for the program, so that it
// cannot hold the watch open.
class LaunchWatch : public QObject
{
    Q_OBJECT

public:
    enum class Outcome { Running, EndedWell, Failed };

    explicit LaunchWatch(QObject *parent = nullptr);
    ~LaunchWatch() override;

    // finished() follows, at the latest after watchTime.
    void start(const QString &program, const QString &workingDir, std::chrono::milliseconds watchTime);

    Outcome outcome() const { return m_outcome; }
    // After Failed: why, in words ("it ended at once with status 3").
    QString errorString() const { return m_error; }

Q_SIGNALS:
    void finished();

private:
    void poll();
    void end(Outcome outcome, const QString &error = {});

    QTimer m_poll;
    QElapsedTimer m_watching;
    std::chrono::milliseconds m_watchTime{0};
    Outcome m_outcome = Outcome::Failed;
    QString m_error;
    qint64 m_pid = 0;           // POSIX: the child to wait for
    void *m_handle = nullptr; // Windows: the process handle
};

} // namespace Tarvino
