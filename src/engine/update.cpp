#include "update.h"

#include "fetch.h"
#include "filedownload.h"
#include "fileops.h"
#include "hashcache.h"
#include "identity.h"
#include "installedrecord.h"
#include "signature.h"
#include "stagingfile.h"
#include "supportlog.h"
#include "swap.h"
#include "transfer.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkReply>

namespace Tarvino {

Update::Update(QNetworkAccessManager &buildManager, UpdateTarget target, QObject *parent)
    : UpdateJob(parent), m_buildManager(buildManager), m_target(std::move(target))
{
}

Update::~Update() = default;

void Update::run()
{
    SupportLog::write(QStringLiteral("Update to ") + m_target.buildUrl.toString());
    const bool signedBuilds = !m_target.publicKeys.isEmpty();
    if (signedBuilds && !signaturesSupported())
        return end(false, tr("This updater was built without signature checking."));
    // Fetched before the build, so that the build can be checked as it streams in.
    m_manifestText = m_manifestSignatureText = m_signatureText = -1;
    if (!m_target.manifestUrl.isEmpty()) {
        m_manifestText = fetchText(m_target.manifestUrl, Manifest::MaxTextSize, m_target);
        if (signedBuilds) {
            m_manifestSignatureText = fetchText(QUrl(m_target.manifestUrl.toString() + QStringLiteral(".sig")),
                                                MaxSignatureFileSize, m_target);
        }
        if (!m_target.patchListUrl.isEmpty())
            fetchPatchList(m_target.patchListUrl, m_target);
    }
    if (signedBuilds)
        m_signatureText = fetchText(m_target.signatureUrl, MaxSignatureFileSize, m_target);
    if (m_manifestText < 0 && m_signatureText < 0)
        requestBuild();
}

// Once the build's signature and manifest, where they are asked for, are in.
void Update::textsArrived(Texts &texts)
{
    if (m_manifestText >= 0 && !takeBuildManifest(texts))
        return end(false, errorString());
    // A signed manifest names the build's SHA-256, which is all its signature
    // would vouch for, at a fraction of the hashing.
    if (m_expected && m_signatureText >= 0) {
        SupportLog::write(QStringLiteral("The build is checked by its signed manifest."));
    } else if (m_signatureText >= 0) {
        QByteArray signature;
        Text &text = *texts.at(m_signatureText);
        if (!text.take(&signature))
            return end(false, tr("The build's signature could not be fetched: %1").arg(text.errorString()));
        m_signature = fromBase64Line(signature, SignatureSize);
        if (m_signature.isEmpty())
            return end(false, tr("The build's signature is malformed."));
    }
    requestBuild();
}

// A server without the build's manifest (a folder laid out by hand) is served
// as before; one it has must name this build, and with a key be signed.
bool Update::takeBuildManifest(Texts &texts)
{
    Text &manifest = *texts.at(m_manifestText);
    if (const int status = manifest.status(); status >= 400 && status < 500) {
        SupportLog::write(QStringLiteral("No manifest for the build at %1: the server answered %2")
                              .arg(m_target.manifestUrl.toString())
                              .arg(status));
        return true;
    }
    QByteArray text;
    Text *signature = m_manifestSignatureText >= 0 ? texts.at(m_manifestSignatureText).get() : nullptr;
    if (!takeManifest(manifest, signature, m_target, m_target.manifestFolder, tr("build's manifest"), &text))
        return false;
    Manifest parsed;
    if (!parsed.parse(text))
        return fail(parsed.errorString());
    const ManifestFile *file = parsed.find(m_target.signedName);
    if (parsed.release() != m_target.newIdentity || !file)
        return fail(tr("The build's manifest does not name %1.").arg(shortened(m_target.signedName)));
    m_expected = *file;
    takePatchList(texts, parsed, m_target, m_target.manifestFolder);
    SupportLog::write(QStringLiteral("The build's manifest names %1 bytes, SHA-256 %2")
                          .arg(file->size)
                          .arg(QString::fromLatin1(file->sha256.toHex())));
    return true;
}

void Update::requestBuild()
{
    FileDownload::Source source{m_target.buildUrl, m_target.signedName, tr("The build"), m_expected, m_signature,
                                m_target.publicKeys};
    const QString program = m_target.appDir + m_target.executableName;
    if (!patchList().isEmpty()) {
        const QByteArray held = FileOps::isPlainFile(program)
            ? HashCache(m_target.appDir, m_target.executableName).sha256(m_target.executableName)
            : QByteArray();
        source.packed = patchList().waysFor(m_target.signedName, held);
        source.packedFolder = m_target.packedFolderUrl;
        source.base = program;
        source.packedStaging = [this] {
            return std::make_unique<StagingFile>(m_target.appDir, m_target.executableName);
        };
    }
    fetchFile(std::make_unique<FileDownload>(m_buildManager,
                                             std::make_unique<StagingFile>(m_target.appDir, m_target.executableName),
                                             std::move(source), fetchOptions(m_target)));
}

// Before anything is written: a build the drive cannot hold fails at once,
// instead of filling the drive that other programs use too.
void Update::fileAnswered(qint64 length)
{
    // Where the drive has no hard links, the backup is a copy of the old program.
    const QString program = m_target.appDir + m_target.executableName;
    const qint64 copy = FileOps::exists(program) && !FileOps::takesHardLinks(m_download->path() + ".probe")
        ? QFileInfo(program).size()
        : 0;
    // A patch or compressed copy is decoded beside itself.
    const qint64 decoded = m_download->packed() && m_expected ? m_expected->size : 0;
    if (length >= 0
        && !hasRoom(m_target.appDir, tr("The build is %1").arg(QLocale().formattedDataSize(length + decoded)),
                    length + decoded, copy)) {
        m_download->fetch()->abort(errorString());
    }
}

void Update::fileFetched()
{
    if (!m_download->fetch() || m_download->fetch()->succeeded())
        downloadArrived();
    if (!install())
        return end(false, errorString());
    SupportLog::write(QStringLiteral("Installed; the previous version is kept as ") + swap()->backupPath());
    watchNewProgram(m_target.appDir + m_target.executableName, m_target.healthCheckTime);
}

bool Update::install()
{
    if (!m_download->isWhole())
        return fail(m_download->errorString());
    if (!m_signature.isEmpty())
        SupportLog::write(QStringLiteral("Build signature verified: ") + m_target.buildUrl.fileName());
    const QByteArray sha256 = m_download->sha256();
    SupportLog::write(QStringLiteral("Downloaded %1 bytes.").arg(m_download->have()));
    // Before the swap, naming both programs: whether the update then stays or is
    // undone, the folder knows what it holds.
    const QString program = m_target.appDir + m_target.executableName;
    QList<QPair<QByteArray, QString>> programs{{sha256, m_target.newIdentity}};
    if (FileOps::exists(program))
        programs.append({HashCache(m_target.appDir, m_target.executableName).sha256(m_target.executableName),
                         m_target.backupName});
    if (const int code = InstalledRecord::write(m_target.appDir, m_target.executableName, programs)) {
        return fail(tr("Cannot record what the folder holds in %1: %2")
                        .arg(FileOps::nativePath(InstalledRecord::path(m_target.appDir, m_target.executableName)),
                             FileOps::describe(code)));
    }
    Swap &swap = makeSwap(m_target.appDir, m_target.executableName);
    const SwapChange change{SwapChange::Kind::Replace, m_target.executableName,
                            QFileInfo(m_download->path()).fileName()};
    if (!swap.install({change}, m_target.backupName, Swap::Backup::BesideProgram))
        return fail(swap.errorString());
    checked(m_target.executableName, sha256);
    m_download->release();
    return true;
}

} // namespace Tarvino
