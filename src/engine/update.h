#pragma once

#include "manifest.h"
#include "updatejob.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace Tarvino {

// What the update to a single build needs to know besides the settings.
struct UpdateTarget : UpdateSettings
{
    QUrl buildUrl;
    QUrl signatureUrl;        // fetched only when publicKeys are set
    QString signedName;       // the build's name as the publisher signed it
    // Its size and SHA-256, where the server has them; with publicKeys, only as signed for manifestFolder.
    QUrl manifestUrl;
    QString manifestFolder;
    // The build's smaller forms: their list beside the manifest, and the folder they are fetched from.
    QUrl patchListUrl;
    QUrl packedFolderUrl;
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

protected:
    void run() override;
    void textsArrived(Texts &texts) override;
    // Before anything is written: a build the drive cannot hold fails at once.
    void fileAnswered(qint64 length) override;
    void fileFetched() override;

private:
    bool takeBuildManifest(Texts &texts);
    void requestBuild();
    bool install();

    QNetworkAccessManager &m_buildManager;
    const UpdateTarget m_target;
    int m_manifestText = -1;
    int m_manifestSignatureText = -1;
    int m_signatureText = -1;
    QByteArray m_signature;
    std::optional<ManifestFile> m_expected; // what the build's manifest names
};

} // namespace Tarvino
