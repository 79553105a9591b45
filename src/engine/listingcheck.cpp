#include "listingcheck.h"

#include "identity.h"
#include "installedrecord.h"
#include "listing.h"
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

QString installedIdentity(const QString &appDir, const QString &executableName, const QString &given)
{
    const QString recorded = InstalledRecord::identityOfProgram(appDir, executableName);
    const bool later = identityProblem(recorded) == IdentityProblem::None && entryDateNumber(recorded)
        && runningDateNumber(given) < *entryDateNumber(recorded);
    return later ? recorded : given;
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
    const bool signedListing = !m_context.publicKeys.isEmpty();
    if (signedListing && !signaturesSupported())
        return end(tr("This updater was built without signature checking."));
    const QUrl url = listingUrl(m_context.downloadBaseUrl, m_platform, m_identity);
    SupportLog::write(QStringLiteral("Listing: ") + url.toString());
    m_transfer = fetchIntoBuffer(m_manager, makeRequest(url, m_context.transferTimeout, m_context.caCertificates),
                                 &m_body, MaxListingSize, m_context.minimumRate);

    if (!signedListing)
        return;
    // Fetched alongside the page, so that checking it costs no extra round trip.
    const QUrl signature =
        signatureUrl(m_context.downloadBaseUrl, m_platform, m_identity, QStringLiteral("index.html"));
    m_signatureTransfer =
        fetchIntoBuffer(m_signatureManager, makeRequest(signature, m_context.transferTimeout, m_context.caCertificates),
                        &m_signatureBody, MaxSignatureFileSize, m_context.minimumRate);
    connect(m_signatureTransfer->reply(), &QNetworkReply::finished, this, &ListingCheck::signatureFinished);
}

void ListingCheck::downloadFinished(QNetworkReply *reply)
{
    if (!m_transfer || reply != m_transfer->reply())
        return;
    if (!m_transfer->finish(Transfer::Expect::AnySuccess))
        m_listingFailure = tr("The update check failed: %1").arg(m_transfer->errorString());
    m_transfer.reset();
    m_body.close();

    // The page is kept as it came, even from a failed answer, for whoever wants to see it.
    QFile sideFile(QStringLiteral("ListOfExecutables.html"));
    if (sideFile.open(QIODevice::WriteOnly)) {
        sideFile.write(m_body.data());
        sideFile.close();
    }
    m_listingDone = true;
    decide();
}

void ListingCheck::signatureFinished()
{
    const std::unique_ptr<Transfer> transfer = std::move(m_signatureTransfer);
    const int status = transfer->reply()->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!transfer->finish(Transfer::Expect::CompleteFile)) {
        m_signatureFailure = status == 404
            ? tr("The listing is not signed: the server has no signature for it.")
            : tr("The listing's signature could not be fetched: %1").arg(transfer->errorString());
    }
    m_signatureBody.close();
    decide();
}

// Once the page, and its signature where one is needed, are in.
void ListingCheck::decide()
{
    if (m_ended || !m_listingDone)
        return;
    if (!m_listingFailure.isEmpty()) {
        // Its signature no longer matters.
        if (m_signatureTransfer)
            m_signatureTransfer->reply()->disconnect(this);
        m_signatureTransfer.reset();
        return end(m_listingFailure);
    }
    if (m_signatureTransfer)
        return;
    if (const QString problem = signatureProblem(); !problem.isEmpty())
        return end(problem + u' ' + tr("Nothing is offered."));
    m_body.open(QIODevice::ReadOnly);
    m_entries = parseListing(m_body);
    m_body.close();
    m_body.setData({});
    m_offer = decideOffer(m_entries, m_identity);
    end(m_offer.reason);
}

// Empty when the page may be believed: no keys, or a good signature.
QString ListingCheck::signatureProblem()
{
    if (m_context.publicKeys.isEmpty())
        return {};
    if (!m_signatureFailure.isEmpty())
        return m_signatureFailure;
    const QString folder = m_platform + u'/' + qtVersionField(m_identity);
    ListingVerifier verifier(m_context.publicKeys, folder, m_context.listingMaxAgeDays);
    if (!verifier.verify(m_body.data(), m_signatureBody.data()))
        return verifier.errorString();
    SupportLog::write(QStringLiteral("Listing signature verified; published ")
                      + verifier.published().toString(Qt::ISODate));
    return {};
}

void ListingCheck::end(const QString &reason)
{
    m_ended = true;
    m_offer.reason = reason;
    Q_EMIT finished();
}

} // namespace Tarvino
