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
    bool release = false; // a whole release rather than a single build
};

// Only the last entry counts: a newer build is offered when its name is a plain
// file name, carries the running identity's Qt version (a build for another Qt
// needs other libraries) and is dated later. The entry before it never counts.
Offer decideOffer(const QStringList &entries, const QString &identity);

// A whole release, whatever its Qt version, when the last one listed is later
// than the identity. It comes before any single build: a folder never misses a
// release's updater and libraries for a build published after it.
Offer decideReleaseOffer(const QStringList &releases, const QString &identity);

// What the program in the folder is: the identity the folder's record gives
// it when that is later than the one given (another updater installed a build
// since the application passed its identity), else the one given.
// With remember (the folder is this updater's to write), the record notes the
// program's fingerprint, so that the next start need not read it again.
QString installedIdentity(const QString &appDir, const QString &executableName, const QString &given,
                          bool remember = false);

// The check at start: fetches the listing of the identity's platform and Qt
// version, keeps the page as it came in "ListOfExecutables.html" in the working
// directory, and, alongside, the platform's releases page; then decides what
// is offered. With publisher keys, each page's signature is fetched alongside
// it, and nothing is offered from a page it does not vouch for. A server
// without a releases page is checked as one that has no releases.
//
// The requests go through the manager given, and whoever receives that
// manager's finished() hands the replies to downloadFinished(). finished() is
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

    // After finished(): the executables page's entries in page order, and the offer.
    QStringList entries() const { return m_builds.entries; }
    Offer offer() const { return m_offer; }
    // Whether the executables page was fetched and believed: what it offers, or not, is known.
    bool checked() const { return m_checked; }
    // The same of the releases page (a server without one counts as checked).
    bool releasesChecked() const { return m_releasesChecked; }

Q_SIGNALS:
    void finished();

private:
    struct Page
    {
        QString folder; // what its signature names: "Windows/6.10.1"
        QBuffer body;
        QBuffer signatureBody;
        std::unique_ptr<Transfer> transfer;
        std::unique_ptr<Transfer> signatureTransfer;
        bool done = false;
        bool missing = false; // the server has no such page
        QString failure;
        QString signatureFailure;
        QStringList entries;
    };

    void fetch(Page &page, const QUrl &url, const QUrl &signature);
    void pageFinished(Page &page);
    void signatureFinished(Page &page);
    void decide();
    // Empty when the page's entries may be believed.
    QString problem(Page &page);
    void end(const QString &reason = {});

    QNetworkAccessManager &m_manager;
    QNetworkAccessManager m_signatureManager;
    const UpdaterContext m_context;
    const QString m_platform;
    const QString m_identity;
    Page m_builds;
    Page m_releases;
    bool m_ended = false;
    bool m_checked = false;
    bool m_releasesChecked = false;
    Offer m_offer;
};

} // namespace Tarvino
