#include "launchwatch.h"

#include "fileops.h"

#include <QDir>
#include <QFile>

#if defined(Q_OS_WIN)
#  include <windows.h>
#else
#  include <cerrno>
#  include <csignal>
#  include <cstring>
#  include <fcntl.h>
#  include <sys/wait.h>
#  include <unistd.h>
#endif

namespace Tarvino {

LaunchWatch::LaunchWatch(QObject *parent) : QObject(parent)
{
    connect(&m_poll, &QTimer::timeout, this, &LaunchWatch::poll);
}

LaunchWatch::~LaunchWatch()
{
#if defined(Q_OS_WIN)
    if (m_handle)
        CloseHandle(m_handle);
#endif
}

void LaunchWatch::start(const QString &program, const QString &workingDir, std::chrono::milliseconds watchTime)
{
    m_watchTime = watchTime;
#if defined(Q_OS_WIN)
    std::wstring path = QDir::toNativeSeparators(program).toStdWString();
    std::wstring commandLine = L"\"" + path + L"\"";
    const std::wstring dir = QDir::toNativeSeparators(workingDir).toStdWString();
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // The child inherits the error mode: no box about a missing DLL that nobody answers.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    const BOOL started = CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                        CREATE_UNICODE_ENVIRONMENT | DETACHED_PROCESS, nullptr, dir.c_str(),
                                        &startup, &process);
    const DWORD error = GetLastError();
    SetErrorMode(previous);
    if (!started)
        return end(Outcome::Failed, tr("it could not be started: %1").arg(FileOps::describe(int(error))));
    CloseHandle(process.hThread);
    m_handle = process.hProcess;
#else
    const QByteArray path = QFile::encodeName(program);
    const QByteArray dir = QFile::encodeName(workingDir);
    char *const argv[] = {const_cast<char *>(path.constData()), nullptr};
    // The child reports a failed exec through this pipe, which a good exec closes:
    // a program that cannot be started is told from one that ends with status 127.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return end(Outcome::Failed, tr("it could not be started: %1").arg(FileOps::describe(errno)));
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return end(Outcome::Failed, tr("it could not be started: %1").arg(FileOps::describe(error)));
    }
    if (pid == 0) {
        // Only what is safe between fork and exec: its own session, so that it outlives us.
        ::setsid();
        if (::chdir(dir.constData()) == 0)
            ::execv(path.constData(), argv);
        const int error = errno;
        [[maybe_unused]] const ssize_t written = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(report[1]);
    int execError = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    m_pid = pid;
    if (got == sizeof execError) {
        ::waitpid(pid, nullptr, 0);
        m_pid = 0;
        return end(Outcome::Failed, tr("it could not be started: %1").arg(FileOps::describe(execError)));
    }
#endif
    m_watching.start();
    // Asked often at first, then less: a program that ends at once is known to have ended at once.
    m_poll.start(1);
    poll();
}

void LaunchWatch::poll()
{
#if defined(Q_OS_WIN)
    if (WaitForSingleObject(m_handle, 0) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(m_handle, &code);
        if (code == 0)
            return end(Outcome::EndedWell);
        return end(Outcome::Failed, tr("it ended with status 0x%1").arg(code, 8, 16, QLatin1Char('0')));
    }
#else
    int status = 0;
    if (::waitpid(pid_t(m_pid), &status, WNOHANG) == m_pid) {
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return end(Outcome::EndedWell);
        if (WIFEXITED(status))
            return end(Outcome::Failed, tr("it ended with status %1").arg(WEXITSTATUS(status)));
        return end(Outcome::Failed, tr("it was ended by signal %1 (%2)")
                                        .arg(WTERMSIG(status))
                                        .arg(QString::fromLocal8Bit(::strsignal(WTERMSIG(status)))));
    }
#endif
    if (m_watching.hasExpired(m_watchTime.count()))
        return end(Outcome::Running);
    if (m_poll.interval() < 50)
        m_poll.setInterval(qMin(m_poll.interval() * 2, 50));
}

void LaunchWatch::end(Outcome outcome, const QString &error)
{
    m_poll.stop();
    m_outcome = outcome;
    m_error = error;
    Q_EMIT finished();
}

} // namespace Tarvino
