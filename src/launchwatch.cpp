#include "launchwatch.h"

#include "fileops.h"

#include <QDir>
#include <QFile>

#if defined(Q_OS_WIN)
#  include <windows.h>
#else
#  include <csignal>
#  include <cstring>
#  include <sys/wait.h>
#  include <unistd.h>
#endif

namespace Tarvino {

LaunchWatch::LaunchWatch(QObject *parent) : QObject(parent)
{
    m_poll.setInterval(50);
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
    const pid_t pid = ::fork();
    if (pid < 0)
        return end(Outcome::Failed, tr("it could not be started: %1").arg(FileOps::describe(errno)));
    if (pid == 0) {
        // Only what is safe between fork and exec: its own session, so that it outlives us.
        ::setsid();
        if (::chdir(dir.constData()) == 0)
            ::execv(path.constData(), argv);
        ::_exit(127);
    }
    m_pid = pid;
#endif
    m_watching.start();
    m_poll.start();
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
        return end(Outcome::Failed, tr("it ended at once with status 0x%1").arg(code, 8, 16, QLatin1Char('0')));
    }
#else
    int status = 0;
    if (::waitpid(pid_t(m_pid), &status, WNOHANG) == m_pid) {
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return end(Outcome::EndedWell);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
            return end(Outcome::Failed, tr("it could not be started"));
        if (WIFEXITED(status))
            return end(Outcome::Failed, tr("it ended at once with status %1").arg(WEXITSTATUS(status)));
        return end(Outcome::Failed, tr("it ended at once with signal %1 (%2)")
                                        .arg(WTERMSIG(status))
                                        .arg(QString::fromLocal8Bit(::strsignal(WTERMSIG(status)))));
    }
#endif
    if (m_watching.hasExpired(m_watchTime.count()))
        end(Outcome::Running);
}

void LaunchWatch::end(Outcome outcome, const QString &error)
{
    m_poll.stop();
    m_outcome = outcome;
    m_error = error;
    Q_EMIT finished();
}

} // namespace Tarvino
