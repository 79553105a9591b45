#include "listingcheck.h"

#include "hashcache.h"
#include "identity.h"
#include "installedrecord.h"
#include "listing.h"
#include "manifest.h"
#include "releaseupdate.h"
#include "signature.h"
#include "supportlog.h"
#include "transfer.h"
#include "urls.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace Tarvino {

namespace {
constexpr qint64 MaxListingSize = 16 * 1024 * 1024;
}

Offer decideOffer(const QStringList &entries, const QString &identity)
{
    if (entries.isEmpty())
        return {};
    const QString &newest = entries.constLast();
    if (!isPlainFileName(newest)) {
        return {{}, ListingCheck::tr("The newest entry of the listing, \"%1\", is not a plain file name, so "
                                     "nothing is offered.").arg(shortened(newest))};
    }
    if (!isNewerBuild(newest, identity))
        return {};
    if (qtVersionField(newest) != qtVersionField(identity)) {
        return {{}, ListingCheck::tr("The newest build, %1, is for another Qt version than %2, so it is not "
                                     "offered.").arg(newest, shortened(qtVersionField(identity)))};
    }
    return {newest, {}};
}

Offer decideReleaseOffer(const QStringList &releases, const QString &identity)
{
    if (releases.isEmpty())
        return {};
    const QString &newest = releases.constLast();
    if (identityProblem(newest) != IdentityProblem::None || !entryDateNumber(newest)) {
        return {{}, ListingCheck::tr("The newest release listed, \"%1\", is not a release's name, so no release is "
                                     "offered.").arg(shortened(newest))};
    }
    if (!isNewerBuild(newest, identity))
        return {};
    return {newest, {}, true};
}

QString installedIdentity(const QString &appDir, const QString &executableName, const QString &given, bool remember)
{
    // Read once for both records, and only when the program changed since the last start noted it.
    HashCache hashes(appDir, executableName);
    const QByteArray program = hashes.sha256(executableName);
    if (remember)
        hashes.save();
    QStringList recorded{InstalledRecord::identityOf(appDir, executableName, program)};
    // The release the folder holds, while its program is still the one there.
    Manifest held;
    if (ReleaseUpdate::heldManifest(appDir, &held) && ReleaseUpdate::holdsItsProgram(appDir, executableName, held, program))
        recorded << held.release();
    QString latest = given;
    for (const QString &identity : std::as_const(recorded)) {
        if (identityProblem(identity) == IdentityProblem::None && entryDateNumber(identity)
            && runningDateNumber(latest) < *entryDateNumber(identity)) {
            latest = identity;
        }
    }
    return latest;
}

ListingCheck::ListingCheck(QNetworkAccessManager &manager, const UpdaterContext &context, const QString &platform,
                           const QString &identity, QObject *parent)
    : QObject(parent), m_manager(manager), m_context(context), m_platform(platform), m_identity(identity)
{
}

ListingCheck::~ListingCheck() = default;

void ListingCheck::start()
{
    const IdentityProblem problem = identityProblem(m_identity);
    if (problem != IdentityProblem::None) {
        return end(problem == IdentityProblem::UnsafeName
                       ? tr("The version given is not a plain file name, so no update is looked for.")
                       : tr("The version given names no Qt version, so no update is looked for."));
    }
    if (!m_context.publicKeys.isEmpty() && !signaturesSupported())
        return end(tr("This updater was built without signature checking."));
    const QUrl url = listingUrl(m_context.downloadBaseUrl, m_platform, m_identity);
    SupportLog::write(QStringLiteral("Listing: ") + url.toString());
    m_builds.folder = m_platform + u'/' + qtVersionField(m_identity);
    fetch(m_builds, url,
          signatureUrl(m_context.downloadBaseUrl, m_platform, m_identity, QStringLiteral("index.html")));
    const QUrl releases = releasesUrl(m_context.downloadBaseUrl, m_platform);
    m_releases.folder = m_platform + QStringLiteral("/Releases");
    fetch(m_releases, releases, releases.resolved(QUrl(QStringLiteral("Signatures/index.html.sig"))));
}

// Both pages, and their signatures, are fetched at once: checking costs no extra round trip.
void ListingCheck::fetch(Page &page, const QUrl &url, const QUrl &signature)
{
    page.transfer = fetchIntoBuffer(m_manager, makeRequest(url, m_context.transferTimeout, m_context.caCertificates),
                                    &page.body, MaxListingSize, m_context.minimumRate);
    if (m_context.publicKeys.isEmpty())
        return;
    page.signatureTransfer =
        fetchIntoBuffer(m_signatureManager, makeRequest(signature, m_context.transferTimeout, m_context.caCertificates),
                        &page.signatureBody, MaxSignatureFileSize, m_context.minimumRate);
    connect(page.signatureTransfer->reply(), &QNetworkReply::finished, this, [this, &page] { signatureFinished(page); });
}

void ListingCheck::downloadFinished(QNetworkReply *reply)
{
    for (Page *page : {&m_builds, &m_releases}) {
        if (page->transfer && reply == page->transfer->reply())
            return pageFinished(*page);
    }
}

void ListingCheck::pageFinished(Page &page)
{
    const int status = page.transfer->reply()->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // A host without releases may answer an unknown folder's address with any
    // refusal (403 where it lists no folders); the executables page must be there.
    page.missing = &page == &m_releases ? status >= 400 && status < 500 : status == 404;
    if (page.missing)
        SupportLog::write(QStringLiteral("No page at %1: the server answered %2")
                              .arg(page.transfer->reply()->url().toString()).arg(status));
    if (!page.transfer->finish(Transfer::Expect::AnySuccess))
        page.failure = page.transfer->errorString();
    page.transfer.reset();
    page.body.close();
    if (&page == &m_builds) {
        // The page is kept as it came, even from a failed answer, for whoever wants to see it.
        QFile sideFile(QStringLiteral("ListOfExecutables.html"));
        if (sideFile.open(QIODevice::WriteOnly)) {
            sideFile.write(page.body.data());
            sideFile.close();
        }
    }
    page.done = true;
    decide();
}

void ListingCheck::signatureFinished(Page &page)
{
    const std::unique_ptr<Transfer> transfer = std::move(page.signatureTransfer);
    const int status = transfer->reply()->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!transfer->finish(Transfer::Expect::CompleteFile)) {
        page.signatureFailure = status == 404
            ? tr("The listing is not signed: the server has no signature for it.")
            : tr("The listing's signature could not be fetched: %1").arg(transfer->errorString());
    }
    page.signatureBody.close();
    decide();
}

// Once both pages, and their signatures where they are needed, are in.
void ListingCheck::decide()
{
    if (m_ended || !m_builds.done || !m_releases.done)
        return;
    for (Page *page : {&m_builds, &m_releases}) {
        // A page that failed needs no signature.
        if (!page->failure.isEmpty() && page->signatureTransfer) {
            page->signatureTransfer->reply()->disconnect(this);
            page->signatureTransfer.reset();
        }
        if (page->signatureTransfer)
            return;
    }
    // No releases page: a server as it was before releases, and nothing to say.
    const QString releasesProblem = m_releases.missing ? QString() : problem(m_releases);
    m_releasesChecked = releasesProblem.isEmpty();
    // A server with releases need not publish single builds for every Qt: no
    // executables page there is no failure, just nothing newer.
    const bool noBuildsPage = m_builds.missing && !m_releases.missing && m_releasesChecked;
    const QString buildsProblem = noBuildsPage ? QString() : problem(m_builds);
    m_checked = buildsProblem.isEmpty();
    m_offer = decideReleaseOffer(m_releases.entries, m_identity);
    if (!m_offer.entry.isEmpty())
        return end();
    // A server that cannot be reached is said once, not once for each page.
    const bool sameFailure = !m_releases.failure.isEmpty() && m_releases.failure == m_builds.failure;
    const QString releasesNote = releasesProblem.isEmpty() || sameFailure
        ? m_offer.reason
        : tr("The releases were not checked: %1").arg(releasesProblem);
    Offer builds = buildsProblem.isEmpty() && !noBuildsPage ? decideOffer(m_builds.entries, m_identity) : Offer{};
    QStringList notes{buildsProblem, builds.reason, releasesNote};
    notes.removeAll(QString());
    m_offer = builds;
    end(notes.join(u' '));
}

QString ListingCheck::problem(Page &page)
{
    if (!page.failure.isEmpty())
        return tr("The update check failed: %1").arg(page.failure);
    if (!m_context.publicKeys.isEmpty()) {
        if (!page.signatureFailure.isEmpty())
            return page.signatureFailure + u' ' + tr("Nothing is offered.");
        ListingVerifier verifier(m_context.publicKeys, page.folder, m_context.listingMaxAgeDays);
        if (!verifier.verify(page.body.data(), page.signatureBody.data()))
            return verifier.errorString() + u' ' + tr("Nothing is offered.");
        SupportLog::write(QStringLiteral("Listing signature verified; published ")
                          + verifier.published().toString(Qt::ISODate));
    }
    page.body.open(QIODevice::ReadOnly);
    page.entries = parseListing(page.body);
    page.body.close();
    page.body.setData({});
    return {};
}

void ListingCheck::end(const QString &reason)
{
    m_ended = true;
    m_offer.reason = reason;
    Q_EMIT finished();
}

} // namespace Tarvino
