#pragma once

#include "installation.h"
#include "updatercontext.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <memory>

class QDialogButtonBox;
class QLabel;
class QNetworkReply;

namespace Tarvino {
class Transfer;
class VerifyingWriter;
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
    void showProgress(qint64 received, qint64 total);
    QString installDownload(QNetworkReply *reply);
    QByteArray fetchSignature(const QString &entry, QString *failure);
    bool startInstalledProgram();
    void updateFailed(const QString &reason);
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

    // The update in progress.
    bool updating = false;
    std::unique_ptr<Tarvino::StagingFile> staging;
    QPointer<Tarvino::Transfer> downloadTransfer;
    QNetworkAccessManager signatureManager;
    std::unique_ptr<Tarvino::VerifyingWriter> verifier;
    QByteArray signature;
    Tarvino::Installation installation{QString(), QString()};
    QString downloadFailure;
    QElapsedTimer progressShown;
};
