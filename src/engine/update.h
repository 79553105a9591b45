#pragma once

#include "fetch.h"
#include "manifest.h"
#include "transfer.h"
#include "updatejob.h"

#include <QBuffer>
#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

class QNetworkReply;

namespace Tarvino {

class FileDownload;
class Transfer;

// What the update to a single build needs to know besides the settings.
struct UpdateTarget : UpdateSettings
{
    QUrl buildUrl;
    QUrl signatureUrl;        // fetched only when publicKeys are set
    QString signedName;       // the build's name as the publisher signed it
    // Its size and SHA-256, where the server has them; with publicKeys, only as signed for manifestFolder.
    QUrl manifestUrl;
    QString manifestFolder;
    QString newIdentity;      // what the folder records the new build as
};

// One update from start to end: the build's signature (when a key is set), the
// build streamed into a staging file beside the program and checked as it
// arrives, the swap, and the start of the new program, which is watched for a
// while and undone (the old program put back and started) when it cannot run
// here. Nothing at the program's name changes unless the whole download is
// good, and the update is committed only once the new program has run.
//
// The build is requested through the manager given, and whoever receives that
// manager's finished() hands the reply to downloadFinished(). finished() is
// emitted once, on success or on the first failure.
class Update : public UpdateJob
{
    Q_OBJECT

public:
    Update(QNetworkAccessManager &buildManager, UpdateTarget target, QObject *parent = nullptr);
    ~Update() override;

    void start() override;
    void downloadFinished(QNetworkReply *reply) override;

protected:
    void end(bool succeeded, const QString &error = {}) override;
    void stopDownload(const QString &reason) override;

private:
    void metaFinished();
    bool takeManifest(Transfer &manifest, Transfer *signature, QString *error);
    void requestBuild();
    void checkRoom(qint64 length);
    bool install(QString *error);

    QNetworkAccessManager &m_buildManager;
    QNetworkAccessManager m_signatureManager;
    const UpdateTarget m_target;
    QByteArray m_signature;
    std::optional<ManifestFile> m_expected; // what the build's manifest names

    // In this order: each writes into one declared before it.
    QBuffer m_signatureBody;
    QBuffer m_manifestBody;
    QBuffer m_manifestSignatureBody;
    std::unique_ptr<Transfer> m_manifestTransfer;
    std::unique_ptr<Transfer> m_manifestSignatureTransfer;
    std::unique_ptr<Transfer> m_transfer; // the signature
    std::unique_ptr<FileDownload> m_download; // the build
};

} // namespace Tarvino
