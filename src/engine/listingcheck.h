#pragma once

#include "updatercontext.h"

#include <QBuffer>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QNetworkReply;

namespace Tarvino {

class Transfer;

// What a listing offers the running identity: the newest entry, or nothing and
// why not (empty when there is simply nothing newer).
struct Offer
{
    QString entry;
    QString reason;
};

// Only the last entry counts: a newer build is offered when its name is a plain
// file name, carries the running identity's Qt version (a build for another Qt
// needs other libraries) and is dated later. The entry before it never counts.
Offer decideOffer(const QStringList &entries, const QString &identity);

// What the program in the folder is: the identity the folder's record gives
// it when that is later than the one given (another updater installed a build
// since the application passed its identity), else the one given.
QString installedIdentity(const QString &appDir, const QString &executableName, const QString &given);

// The check at start: fetches the listing of the identity's platform and Qt
// version, keeps the page as it came in "ListOfExecutables.html" in the working
// directory, and decides what is offered. With publisher keys, the page's
// signature is fetched alongside, and nothing is offered from a page it does
// not vouch for.
//
// The request goes through the manager given, and whoever receives that
// manager's finished() hands the reply to downloadFinished(). finished() is
// emitted once, also when no request could be sent.
class ListingCheck : public QObject
{
    Q_OBJECT

public:
    ListingCheck(QNetworkAccessManager &manager, const UpdaterContext &context, const QString &platform,
                 const QString &identity, QObject *parent = nullptr);
    ~ListingCheck() override;

    void start();
    void downloadFinished(QNetworkReply *reply);

    // After finished(): the entries in page order, and the offer.
    QStringList entries() const { return m_entries; }
    Offer offer() const { return m_offer; }

Q_SIGNALS:
    void finished();

private:
    void signatureFinished();
    void decide();
    QString signatureProblem();
    void end(const QString &reason = {});

    QNetworkAccessManager &m_manager;
    QNetworkAccessManager m_signatureManager;
    const UpdaterContext m_context;
    const QString m_platform;
    const QString m_identity;
    QBuffer m_body;
    QBuffer m_signatureBody;
    std::unique_ptr<Transfer> m_transfer;
    std::unique_ptr<Transfer> m_signatureTransfer;
    bool m_listingDone = false;
    bool m_ended = false;
    QString m_listingFailure;
    QString m_signatureFailure;
    QStringList m_entries;
    Offer m_offer;
};

} // namespace Tarvino
