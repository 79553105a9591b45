#include "listingcheck.h"

#include "identity.h"
#include "listing.h"
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
                                     "nothing is offered.").arg(newest)};
    }
    if (!isNewerBuild(newest, identity))
        return {};
    if (qtVersionField(newest) != qtVersionField(identity)) {
        return {{}, ListingCheck::tr("The newest build, %1, is for another Qt version than %2, so it is not "
                                     "offered.").arg(newest, qtVersionField(identity))};
    }
    return {newest, {}};
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
    const QUrl url = listingUrl(m_context.downloadBaseUrl, m_platform, m_identity);
    SupportLog::write(QStringLiteral("Listing: ") + url.toString());
    QNetworkReply *reply =
        m_manager.get(makeRequest(url, m_context.transferTimeout, m_context.caCertificates));
    m_body.setData({});
    m_body.open(QIODevice::WriteOnly);
    m_transfer = std::make_unique<Transfer>(reply, &m_body, MaxListingSize, m_context.minimumRate);
}

void ListingCheck::downloadFinished(QNetworkReply *reply)
{
    if (!m_transfer || reply != m_transfer->reply())
        return;
    const bool answered = m_transfer->finish(Transfer::Expect::AnySuccess);
    const QString failure = m_transfer->errorString();
    m_transfer.reset();
    m_body.close();

    // The page is kept as it came, even from a failed answer, for whoever wants to see it.
    QFile sideFile(QStringLiteral("ListOfExecutables.html"));
    if (sideFile.open(QIODevice::WriteOnly)) {
        sideFile.write(m_body.data());
        sideFile.close();
    }
    if (!answered)
        return end(tr("The update check failed: %1").arg(failure));
    m_body.open(QIODevice::ReadOnly);
    m_entries = parseListing(m_body);
    m_body.close();
    m_body.setData({});
    m_offer = decideOffer(m_entries, m_identity);
    end(m_offer.reason);
}

void ListingCheck::end(const QString &reason)
{
    m_offer.reason = reason;
    Q_EMIT finished();
}

} // namespace Tarvino
