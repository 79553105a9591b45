#pragma once

#include "manifest.h"
#include "updatejob.h"

#include <QHash>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <memory>

namespace Tarvino {

class Swap;
struct SwapChange;

// What the update to a whole release needs to know besides the settings.
struct ReleaseTarget : UpdateSettings
{
    QString release;          // its name, as the releases page lists it
    QUrl folderUrl;           // BASE/Windows/Releases/<release>/
    QString signedFolder;     // what the manifest's signature names: "Windows/Releases/<release>"
    QString updaterName;      // the updater's own program, made to show that it can start
    QStringList reservedNames; // the updater's own files in the folder, which no manifest may name
    std::chrono::milliseconds selfTestTime{30000};
};

// The update of a whole application folder to a release: its manifest (with
// a key, only as signed), then only the files whose bytes differ from the
// folder's, each streamed into a staging folder and checked for its size and
// SHA-256 before anything installed changes, then one journaled swap of every
// changed, added and removed file. The new updater must show that it starts,
// among the release's own files in the staging folder, before anything
// installed changes; the new program is watched as a single build's is, and
// failing puts the previous release back whole. Files the manifests do not
// name are never touched.
//
// The files are requested through the manager given, whose finished()
// replies are handed to downloadFinished().
class ReleaseUpdate : public UpdateJob
{
    Q_OBJECT

public:
    ReleaseUpdate(QNetworkAccessManager &fileManager, ReleaseTarget target, QObject *parent = nullptr);
    ~ReleaseUpdate() override;

    // The manifest a folder keeps of the release it holds, when it has a good one.
    static bool heldManifest(const QString &appDir, Manifest *manifest);
    // Whether that manifest's program is the one in the folder: a release put
    // back or replaced by hand counts for nothing.
    static bool holdsItsProgram(const QString &appDir, const QString &executableName, const Manifest &manifest,
                                const QByteArray &programSha256);

protected:
    void run() override;
    void textsArrived(Texts &texts) override;
    void fileFetched() override;
    void end(bool succeeded, const QString &error = {}) override;

private:
    bool plan();
    qint64 cost(const ManifestFile &file) const;
    void fetchNext();
    void install();
    void qualifyUpdater();
    void selfTestFinished(bool passed, const QString &why);
    void swapIn();

    QNetworkAccessManager &m_fileManager;
    const ReleaseTarget m_target;
    Manifest m_manifest;
    QList<SwapChange> m_changes;
    QList<ManifestFile> m_toFetch;
    QHash<QString, QList<PackedFile>> m_forms; // each file's smaller forms, best first
    int m_signatureText = -1;
    qint64 m_bytesToFetch = 0;
    qint64 m_bytesFetched = 0;
    bool m_swapBegun = false;
    bool m_keptForLater = false;
    QProcess m_selfTest;
    QTimer m_selfTestTimer;
    bool m_selfTestRunning = false;
    QStringList m_lent; // the unchanged files linked or copied into the staging folder for the test
};

} // namespace Tarvino
