#include "foldersession.h"

#include "folderlock.h"
#include "identity.h"
#include "journal.h"
#include "listingcheck.h"
#include "releaseupdate.h"
#include "stagingfile.h"
#include "supportlog.h"
#include "swap.h"
#include "update.h"
#include "urls.h"

#include <QCoreApplication>

namespace Tarvino {

FolderSession::FolderSession(const UpdaterContext &context, const QString &appDir, const QString &executableName,
                             const QString &platform, const QString &runningIdentity)
    : m_context(context), m_appDir(appDir), m_executableName(executableName), m_platform(platform),
      m_runningIdentity(runningIdentity), m_installedVersion(runningIdentity)
{
}

FolderSession::~FolderSession()
{
    SupportLog::stop();
}

void FolderSession::open()
{
    // Another updater at work in this folder may be mid-swap: leave everything to it.
    m_lock = std::make_unique<FolderLock>(m_appDir, m_executableName);
    const bool locked = m_lock->tryLock();
    const QString log = m_appDir + QLatin1String(SupportLog::FileName);
    if (locked)
        SupportLog::trim(log);
    SupportLog::start(log);
    SupportLog::write(QStringLiteral("%1: running identity %2, folder %3")
                          .arg(QCoreApplication::applicationName(), m_runningIdentity, m_appDir));
    if (!locked && m_lock->isBusy()) {
        m_busy = true;
        m_error = m_lock->errorString();
        return;
    }
    // A folder that cannot take the update still says what there is to have.
    if (!locked) {
        m_installProblem = m_lock->errorString();
    } else {
        RecoveryReport recovery;
        if (!recoverInterruptedUpdate(m_appDir, m_executableName, &recovery))
            m_installProblem = recovery.notice;
        else
            m_startNotice = recovery.notice;
        for (const QString &detail : std::as_const(recovery.details))
            SupportLog::write(QStringLiteral("Recovery: ") + detail);
    }
    // Another updater may have installed a build since the application passed its identity.
    m_installedVersion = installedIdentity(m_appDir, m_executableName, m_runningIdentity, m_installProblem.isEmpty());
    if (m_installedVersion != m_runningIdentity)
        SupportLog::write(QStringLiteral("The folder records its program as ") + m_installedVersion);
}

void FolderSession::sweep(const ListingCheck &check)
{
    if (!m_installProblem.isEmpty())
        return;
    const Offer offer = check.offer();
    const bool offered = !offer.entry.isEmpty();
    // Only a partial download of the build on offer is worth keeping; a check
    // that failed (no network, say) says nothing of what is on offer.
    if (check.checked() || offer.release) {
        const UpdateTarget target = offered && !offer.release ? updateTarget(offer) : UpdateTarget();
        StagingFile::discardUnclaimed(m_appDir, m_executableName, target.buildUrl.toString(), target.signedName);
    }
    if (check.releasesChecked())
        Swap::discardUnclaimed(m_appDir, m_executableName, offer.release ? offer.entry : QString());
}

std::unique_ptr<UpdateJob> FolderSession::makeUpdate(QNetworkAccessManager &manager, const Offer &offer) const
{
    if (offer.release)
        return std::make_unique<ReleaseUpdate>(manager, releaseTarget(offer));
    return std::make_unique<Update>(manager, updateTarget(offer));
}

// What every kind of update takes from the session: the folder, the program,
// what it holds (the backup's name), keys, limits and retries.
void FolderSession::takeSettings(UpdateSettings &target) const
{
    target.appDir = m_appDir;
    target.executableName = m_executableName;
    target.backupName = m_installedVersion;
    target.publicKeys = m_context.publicKeys;
    target.transferTimeout = m_context.transferTimeout;
    target.minimumRate = m_context.minimumRate;
    target.caCertificates = m_context.caCertificates;
    target.retries = m_context.retries;
    target.firstRetryPause = m_context.firstRetryPause;
}

// The newest build, to be installed in place of the program.
UpdateTarget FolderSession::updateTarget(const Offer &offer) const
{
    const QString &entry = offer.entry;
    const QUrl base = m_context.downloadBaseUrl;
    UpdateTarget target;
    takeSettings(target);
    target.buildUrl = fileUrl(listingUrl(base, m_platform, m_installedVersion), entry);
    target.signatureUrl = signatureUrl(base, m_platform, m_installedVersion, entry);
    // The server's name for the file, which is what the publisher signed.
    target.signedName = QUrl::fromPercentEncoding(entry.toUtf8());
    target.manifestUrl = buildManifestUrl(base, m_platform, m_installedVersion, entry);
    target.manifestFolder = m_platform + u'/' + qtVersionField(m_installedVersion) + QStringLiteral("/Manifests/")
        + target.signedName;
    target.patchListUrl = buildPatchListUrl(base, m_platform, m_installedVersion, entry);
    target.packedFolderUrl = platformFolderUrl(base, m_platform, m_installedVersion);
    target.newIdentity = identityOfEntry(entry);
    return target;
}

// The whole release offered, to be installed over the folder's files.
ReleaseTarget FolderSession::releaseTarget(const Offer &offer) const
{
    ReleaseTarget target;
    takeSettings(target);
    target.release = offer.entry;
    target.folderUrl = releaseFolderUrl(m_context.downloadBaseUrl, m_platform, offer.entry);
    target.signedFolder = m_platform + QStringLiteral("/Releases/") + offer.entry;
    target.updaterName = updaterProgramName();
    target.reservedNames = {QLatin1String(SupportLog::FileName), QStringLiteral("ListOfExecutables.html"),
                            QLatin1String(Manifest::RecordName)};
    return target;
}

} // namespace Tarvino
