#pragma once

#include "updatercontext.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QStringList>
#include <QWidget>

class QDialogButtonBox;
class QLabel;
class QNetworkReply;

namespace Tarvino {
class Transfer;
}

// The updater's one window: shows the running and the newest version and,
// on Ok, downloads and installs the newest build and restarts the program.
class TarvinoUpdater : public QWidget
{
    Q_OBJECT

public:
    explicit TarvinoUpdater(const Tarvino::UpdaterContext &context = {});
    ~TarvinoUpdater() override;

    QString currentVersion() const;

private slots:
    void downloadFinished(QNetworkReply *reply);
    void downloadFinished2(QNetworkReply *reply);
    void okSlot();
    void cancelSlot();
    void closeSlot();

private:
    void startListingCheck();
    void showVersions(const QString &possibleVersion, const QString &note = {});
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
    QByteArray listingBody;
    QPointer<Tarvino::Transfer> listingTransfer;
};
