#pragma once

#include "listingcheck.h"
#include "updatercontext.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QStringList>
#include <QWidget>

#include <memory>

class QDialogButtonBox;
class QLabel;
class QNetworkReply;

namespace Tarvino {
class FolderSession;
class ListingCheck;
class UpdateJob;
}

// The updater's one window: shows the running and the newest version and,
// on Ok, has the newest build downloaded and installed and the program restarted.
class TarvinoUpdater : public QWidget
{
    Q_OBJECT

public:
    explicit TarvinoUpdater(const Tarvino::UpdaterContext &context = {});
    ~TarvinoUpdater() override;

    QString currentVersion() const;

private slots:
    // listManager's replies go to downloadFinished, downloadManager's to downloadFinished2.
    void downloadFinished(QNetworkReply *reply);
    void downloadFinished2(QNetworkReply *reply);
    void okSlot();
    void cancelSlot();
    void closeSlot();

private:
    void startListingCheck();
    // The note goes to the support log too, unless it is mere progress.
    void showVersions(const QString &possibleVersion, const QString &note = {}, bool logNote = true);
    void showProgress(qint64 received, qint64 total);
    void updateFailed();
    static void waitFor(const bool &done);

    QNetworkAccessManager listManager;
    QNetworkAccessManager downloadManager;
    QStringList executables;
    bool listingDone = false;
    bool downloadDone = false;
    QString platform;
    QDialogButtonBox *buttonBox = nullptr;
    QString executableName;
    QString appDir;
    QLabel *label = nullptr;

    const Tarvino::UpdaterContext context;
    std::unique_ptr<Tarvino::FolderSession> session;
    std::unique_ptr<Tarvino::ListingCheck> listingCheck;
    std::unique_ptr<Tarvino::UpdateJob> update;
    bool inOkSlot = false;
    // Said beside the versions: what the start found of an earlier update, and
    // why nothing can be installed here, if so (Ok then stays disabled).
    QString startNotice;
    QString installProblem;
    // What the folder holds: the identity given, or the later one its record names.
    QString installedVersion;
    // What the listing check offered: a build, a whole release, or nothing.
    Tarvino::Offer offer;
    QElapsedTimer progressShown;
};
