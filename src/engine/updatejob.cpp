#include "updatejob.h"

#include "hashcache.h"
#include "launchwatch.h"
#include "supportlog.h"
#include "swap.h"

#include <QDir>
#include <QProcess>

namespace Tarvino {

UpdateJob::UpdateJob(QObject *parent) : QObject(parent) {}

UpdateJob::~UpdateJob() = default;

Fetch::Options UpdateJob::fetchOptions(const UpdateSettings &settings)
{
    Fetch::Options options;
    options.transferTimeout = settings.transferTimeout;
    options.minimumRate = settings.minimumRate;
    options.caCertificates = settings.caCertificates;
    options.retries = settings.retries;
    options.firstPause = settings.firstRetryPause;
    return options;
}

void UpdateJob::begin()
{
    m_running = true;
    m_succeeded = false;
    m_launched = false;
    m_downloaded = false;
    m_cancelled = false;
    m_runningNow = Running::Nothing;
    m_error.clear();
}

void UpdateJob::downloadArrived()
{
    m_downloaded = true;
    Q_EMIT downloaded();
}

bool UpdateJob::cancel()
{
    if (!m_running || m_downloaded)
        return false;
    m_cancelled = true;
    SupportLog::write(QStringLiteral("Download stopped by the user."));
    stopDownload(tr("The download was stopped."));
    return true;
}

void UpdateJob::watchNewProgram(const QString &program, std::chrono::milliseconds watchTime)
{
    m_launched = true;
    m_launch = std::make_unique<LaunchWatch>();
    connect(m_launch.get(), &LaunchWatch::finished, this, [this, program] { launchFinished(program); });
    m_launch->start(program, QDir::currentPath(), watchTime);
}

void UpdateJob::restartPrevious(const QString &program)
{
    m_launched = true;
    if (QProcess::startDetached(program, {}))
        m_runningNow = Running::PreviousVersion;
}

void UpdateJob::follow(Fetch *fetch)
{
    connect(fetch, &Fetch::retrying, this, [this](const QString &note) {
        SupportLog::write(QStringLiteral("Download broke off: ") + note);
        Q_EMIT notice(note);
    });
    connect(fetch, &Fetch::stopped, this, [this, fetch] { end(false, fetch->errorString()); });
}

Swap &UpdateJob::makeSwap(const QString &appDir, const QString &executableName)
{
    m_appDir = appDir;
    m_executableName = executableName;
    m_checked.clear();
    m_swap = std::make_unique<Swap>(appDir, executableName);
    return *m_swap;
}

bool UpdateJob::rollback(QString *error)
{
    const bool done = m_swap->rollback();
    *error = m_swap->errorString();
    return done;
}

bool UpdateJob::commit(QString *error)
{
    const bool done = m_swap->commit();
    *error = m_swap->errorString();
    HashCache hashes(m_appDir, m_executableName);
    for (const auto &[path, sha256] : std::as_const(m_checked))
        hashes.note(path, sha256);
    hashes.save();
    for (const QString &name : m_swap->pruned())
        SupportLog::write(QStringLiteral("Removed the backup of an older release: ") + name);
    return done;
}

void UpdateJob::launchFinished(const QString &program)
{
    QString error;
    if (m_launch->outcome() == LaunchWatch::Outcome::Failed) {
        const QString why = m_launch->errorString();
        SupportLog::write(QStringLiteral("The new version could not run: ") + why);
        if (!rollback(&error))
            return end(false, tr("The new version could not run on this computer: %1. %2").arg(why, error));
        restartPrevious(program);
        return end(false, tr("The new version could not run on this computer: %1. The previous version was "
                             "restored.").arg(why));
    }
    const bool runs = m_launch->outcome() == LaunchWatch::Outcome::Running;
    m_runningNow = runs ? Running::NewVersion : Running::Nothing;
    SupportLog::write(runs ? QStringLiteral("The new version runs.")
                           : QStringLiteral("The new version ran and ended with status 0."));
    if (!commit(&error))
        return end(false, tr("The new version runs, but the update could not be completed: %1").arg(error));
    end(true);
}

void UpdateJob::end(bool succeeded, const QString &error)
{
    SupportLog::write(succeeded ? QStringLiteral("Update done.") : QStringLiteral("Update failed: ") + error);
    m_error = error;
    m_running = false;
    m_succeeded = succeeded;
    Q_EMIT finished(succeeded);
}

} // namespace Tarvino
